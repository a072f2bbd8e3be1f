// Plays the node server during a benchmark: opens a data file over and
// over, as the node does when its users ask, and prints on standard output,
// when told to stop (SIGTERM or SIGINT), the longest time in milliseconds
// that one open() waited.
//   node_wait FILE
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t gStop = 0;

void stop(int) { gStop = 1; }

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: node_wait FILE\n");
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    using Clock = std::chrono::steady_clock;
    Clock::duration longest{};
    long opens = 0;
    while (gStop == 0) {
        const auto start = Clock::now();
        const int fd = open(argv[1], O_RDONLY);
        const auto waited = Clock::now() - start;
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            std::perror(argv[1]);
            return 1;
        }
        if (close(fd) != 0) {
            std::perror(argv[1]);
            return 1;
        }
        ++opens;
        if (waited > longest)
            longest = waited;
        usleep(100);
    }
    std::printf("%.3f %ld\n", std::chrono::duration<double, std::milli>(longest).count(), opens);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
