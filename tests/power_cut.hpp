// Power cuts, simulated: a FileIo that records every call of a real run
// that changes the disk, and the file trees that a power cut after any of
// those calls can leave, under two models of what reaches the disk.
//
// ext4 with data=ordered: the metadata changes (a file's creation, removal,
// renaming, growth with the bytes it exposes, truncation) reach the disk as
// a prefix of their program order, and an fsync of any file commits every
// earlier one.  Data written over bytes that a file holds reaches the disk
// in any subset of 4 KiB pages, before or after the metadata changes not
// yet committed; the zeroing of the rest of the last block by a shrinking
// truncation is such data.  An fsync of a file makes its data durable.
//
// Strict: a file's size and bytes are durable only once that file is
// synced, a directory's entries only once that directory is synced.  A
// file's pending bytes reach the disk in any subset of 4 KiB pages, and a
// size that grew without its bytes reads as zeros.
#pragma once

#include "file_io.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// A file tree: relative path to bytes.
using FileTree = std::map<std::string, std::string>;

FileTree readTree(const std::string& root);
void writeTree(const std::string& root, const FileTree& tree);

struct DiskCall {
    enum Kind { Create, Write, Truncate, Unlink, Rename, SyncFile, SyncDirectory } kind;
    std::string path;  // Create, Unlink, Rename's source, SyncDirectory
    std::string to;    // Rename's target
    uint64_t inode = 0;
    size_t offset = 0;    // Write's offset, Truncate's length: small files
    std::string bytes;    // Write
};

// Records the calls of a run in the current directory that change the
// disk, with the bytes written (copy_file_range's included), as they are
// made.  Paths are taken relative to the current directory.
class RecordingIo : public FileIo {
public:
    std::vector<DiskCall> calls;
    // Called before each recorded fsync of a file, with its path; lets a
    // test act as the node server does around it.
    std::function<void(const std::string& path, bool leased, bool after)> aroundSync;

    int open(const char* path, int flags, mode_t mode) override;
    ssize_t write(int fd, const void* from, size_t size) override;
    ssize_t pwrite(int fd, const void* from, size_t size, off_t offset) override;
    ssize_t copyFileRange(int from, off_t fromOffset, int to, off_t toOffset, size_t size) override;
    int ftruncate(int fd, off_t length) override;
    int fsync(int fd) override;
    int close(int fd) override;
    int unlink(const char* path) override;
    int rename(const char* from, const char* to) override;
    int setLease(int fd, int type) override;

    // The node's own append, not synced.
    void recordAppend(const std::string& path, const std::string& bytes);

private:
    void recordWrite(int fd, size_t offset, const char* bytes, size_t size);
    std::map<int, std::string> paths_;
    bool leased_ = false;
};

enum class DiskModel { Ext4Ordered, Strict };

// Every distinct tree that a power cut after one of the first `after`
// calls can leave from `before`, under model: none of the pending changes,
// all of them, each page alone, the data without the pending metadata,
// every metadata prefix, and every combination where they are few or a
// fixed-seed sample where they are many.  visit returns false to stop.
void forEachCrashState(const FileTree& before, const std::vector<DiskCall>& calls, DiskModel model,
                       const std::function<bool(size_t after, const FileTree&)>& visit);
