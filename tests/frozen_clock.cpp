// Loaded with LD_PRELOAD into a program under test: while FAKETIME holds a
// number of seconds since 1970, the calendar clock stands still at it; the
// other clocks run on.  It stands in for libfaketime where that cannot be
// loaded: into a program of another architecture run under qemu-user, and on
// a 32-bit target, whose libfaketime does not see the 64-bit time calls.
//
// Built with the program's own _TIME_BITS=64, each definition here takes the
// name that the program's calls are bound to (time, or __time64 on a 32-bit
// target).  The programs read the calendar clock with time and
// clock_gettime only.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>

namespace {

// The frozen instant, or false when FAKETIME is unset or not a number.
bool frozenAt(time_t& seconds)
{
    const char* text = std::getenv("FAKETIME");
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    seconds = static_cast<time_t>(value);
    return true;
}

using ClockGettime = int (*)(clockid_t, struct timespec*);

// The C library's own clock_gettime, under the name this file's calls use.
ClockGettime realClockGettime()
{
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
    static const auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "__clock_gettime64"));
#else
    static const auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
#endif
    return real;
}

bool isCalendarClock(clockid_t clock) { return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE; }

}  // namespace

extern "C" {

time_t time(time_t* result) noexcept
{
    time_t now = 0;
    if (!frozenAt(now)) {
        struct timespec real = {};
        const ClockGettime readClock = realClockGettime();
        if (!readClock || readClock(CLOCK_REALTIME, &real) != 0)
            return static_cast<time_t>(-1);
        now = real.tv_sec;
    }
    if (result)
        *result = now;
    return now;
}

int clock_gettime(clockid_t clock, struct timespec* result) noexcept
{
    time_t now = 0;
    if (isCalendarClock(clock) && frozenAt(now)) {
        result->tv_sec = now;
        result->tv_nsec = 0;
        return 0;
    }
    const ClockGettime readClock = realClockGettime();
    if (!readClock) {
        errno = ENOSYS;
        return -1;
    }
    return readClock(clock, result);
}

}  // extern "C"
