// Plays the node server beside a run of the tools: a child process that
// appends records to a data file as the node does, or one that reads a file
// over and over, as the node does when a user asks.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

class NodeProcess {
public:
    // Appends record(0), record(1), ... : opening the file for each record
    // (O_APPEND, one write, close), or keeping it open; perSecond 0 is as
    // fast as it goes.
    static NodeProcess appender(const std::string& path, std::function<std::string(long)> record,
                                bool holdOpen, int perSecond);
    // Reads the whole file about every millisecond; counts the looks that
    // check refuses.
    static NodeProcess reader(const std::string& path, std::function<bool(const std::string&)> check);

    NodeProcess(NodeProcess&& other) noexcept;
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;
    ~NodeProcess();

    // Stops the child and waits for it; then the counts are final.
    void stop();
    // The child's pid, named node_server in /proc/PID/comm.
    pid_t pid() const { return pid_; }
    long appended() const;
    long looks() const;
    long badLooks() const;

    struct Shared;  // the counters, in memory shared with the child

private:
    explicit NodeProcess(Shared* shared) : shared_(shared) {}
    void start(std::function<void(Shared&)> work);

    Shared* shared_;
    pid_t pid_ = -1;
};
