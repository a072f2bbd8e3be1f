#include "dbindex_output.hpp"

#include "console.hpp"
#include "file_io.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// With --quiet, standard output waits in a file of its own: a run that
// succeeds shows nothing, one that fails shows all of it, as without.
class HeldOutput {
public:
    bool hold()
    {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = file_ ? dup(STDOUT_FILENO) : -1;
        if (saved_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "dbindex: --quiet: %s\n", std::strerror(errno));
            return false;
        }
        // Without a buffer, the errors go to standard error at once.
        errors_ = open_memstream(&said_, &saidLength_);
        return true;
    }

    FILE* errors() const { return errors_ ? errors_ : stderr; }

    bool holding() const { return saved_ >= 0; }

    // Puts standard output back, with what it held when show.
    bool release(bool show)
    {
        bool ok = std::fflush(stdout) == 0 && !std::ferror(stdout) &&
                  dup2(saved_, STDOUT_FILENO) >= 0 && close(saved_) == 0 &&
                  std::fseek(file_, 0, SEEK_SET) == 0;
        char block[4096];
        for (size_t got; ok && show && (got = std::fread(block, 1, sizeof block, file_)) > 0;)
            ok = std::fwrite(block, 1, got, stdout) == got;
        ok = std::fclose(file_) == 0 && ok;
        saved_ = -1;
        std::fflush(stdout);
        if (errors_ && std::fclose(errors_) == 0)
            std::fwrite(said_, 1, saidLength_, stderr);
        errors_ = nullptr;
        std::free(said_);
        said_ = nullptr;
        saidLength_ = 0;
        return ok;
    }

private:
    FILE* file_ = nullptr;
    int saved_ = -1;
    FILE* errors_ = nullptr;
    char* said_ = nullptr;
    size_t saidLength_ = 0;
};

// The output held with --quiet, and what the errors said meanwhile.
HeldOutput gHeld;

}  // namespace

bool holdOutput() { return gHeld.hold(); }
bool holdingOutput() { return gHeld.holding(); }
bool releaseOutput(bool show) { return gHeld.release(show); }
FILE* errors() { return gHeld.errors(); }

// The path as the system saw it, from the working directory.
void tellError(const char* verb, const char* path, const char* reason)
{
    std::fprintf(errors(), "dbindex: %s %s: %s\n", verb, SeenPath(path).text, reason);
}

// The error of the failed open, or the kind of file that was refused.
int reportOpenFailure(const char* path, int status, mode_t notRegular)
{
    const int error = errno;
    char reason[64];
    if (notRegular != 0)
        std::snprintf(reason, sizeof reason, "%s, not a regular file", fileTypeName(notRegular));
    std::printf("*** Error : Enable to open %s\n", ShownPath(path).text);
    tellError("cannot open", path, notRegular != 0 ? reason : std::strerror(error));
    return status;
}

int reportIoFailure(const char* verb, const char* path, int error, int status, const char* after)
{
    std::printf("\n*** Error : can't %s %s: %s%s\n", verb, ShownPath(path).text, std::strerror(error),
                after);
    char tried[64];
    std::snprintf(tried, sizeof tried, "cannot %s", verb);
    tellError(tried, path, std::strerror(error));
    return status;
}

