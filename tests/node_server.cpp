#include "node_server.hpp"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

struct NodeProcess::Shared {
    std::atomic<bool> stop{false};
    std::atomic<long> appended{0};
    std::atomic<long> looks{0};
    std::atomic<long> badLooks{0};
};
static_assert(std::atomic<long>::is_always_lock_free, "the counters are shared between processes");

namespace {

NodeProcess::Shared* sharedCounters()
{
    void* memory = mmap(nullptr, sizeof(NodeProcess::Shared), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    return new (memory) NodeProcess::Shared;
}

std::string readWhole(int fd)
{
    std::string bytes;
    char block[1 << 16];
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;)
        bytes.append(block, static_cast<size_t>(got));
    return bytes;
}

}  // namespace

NodeProcess NodeProcess::appender(const std::string& path, std::function<std::string(long)> record,
                                  bool holdOpen, int perSecond)
{
    NodeProcess node(sharedCounters());
    node.start([=](Shared& shared) {
        const auto pause = std::chrono::microseconds(perSecond > 0 ? 1000000 / perSecond : 0);
        int held = holdOpen ? open(path.c_str(), O_WRONLY | O_APPEND) : -1;
        for (long n = 0; !shared.stop; ++n) {
            // Made before the open, as the node does: the file stays open
            // only for the write.
            const std::string bytes = record(n);
            const int fd = holdOpen ? held : open(path.c_str(), O_WRONLY | O_APPEND);
            // A record that is not written whole is not counted, so that a
            // failure shows as a record missing from the file.
            if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                _exit(1);
            shared.appended = n + 1;
            if (!holdOpen)
                close(fd);
            if (perSecond > 0)
                std::this_thread::sleep_for(pause);
        }
        if (held >= 0)
            close(held);
    });
    return node;
}

NodeProcess NodeProcess::reader(const std::string& path, std::function<bool(const std::string&)> check)
{
    NodeProcess node(sharedCounters());
    node.start([=](Shared& shared) {
        while (!shared.stop) {
            const int fd = open(path.c_str(), O_RDONLY);
            if (fd >= 0) {
                const std::string bytes = readWhole(fd);
                close(fd);
                ++shared.looks;
                if (!check(bytes))
                    ++shared.badLooks;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    return node;
}

void NodeProcess::start(std::function<void(Shared&)> work)
{
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        prctl(PR_SET_NAME, "node_server");
        work(*shared_);
        _exit(0);
    }
}

NodeProcess::NodeProcess(NodeProcess&& other) noexcept : shared_(other.shared_), pid_(other.pid_)
{
    other.shared_ = nullptr;
    other.pid_ = -1;
}

NodeProcess::~NodeProcess()
{
    if (!shared_)
        return;
    stop();
    munmap(shared_, sizeof(Shared));
}

void NodeProcess::stop()
{
    if (pid_ < 0)
        return;
    shared_->stop = true;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        shared_->badLooks = -1;  // the child failed: no count can be trusted
}

long NodeProcess::appended() const { return shared_->appended; }
long NodeProcess::looks() const { return shared_->looks; }
long NodeProcess::badLooks() const { return shared_->badLooks; }
