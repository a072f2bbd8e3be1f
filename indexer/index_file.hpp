// Puts a new index in the place of the old one whole: it is written to a
// temporary file beside the index, synced and renamed over it, so that a
// reader, or a kill or a power cut at any instant, finds the complete old
// index or the complete new one.  Every call that changes the disk goes
// through a FileIo.
#pragma once

#include "file_io.hpp"

#include <climits>
#include <sys/stat.h>

class IndexFile {
public:
    explicit IndexFile(FileIo& io) : io_(io) {}
    IndexFile(const IndexFile&) = delete;
    IndexFile& operator=(const IndexFile&) = delete;
    ~IndexFile();

    // The descriptor to write the new index to, or -1; then failedPath()
    // names the file that could not be had (the index, or the temporary
    // file beside it) and notRegular() its type where it is not a regular
    // file, errno the error otherwise.  An index that is a symbolic link
    // stays one: its target is replaced.  The temporary file is never
    // reached through a symbolic link.  Where there is no index yet, the new
    // one gets the permission bits of newMode.
    int open(const char* indexPath, mode_t newMode);
    const char* failedPath() const { return failedPath_; }
    mode_t notRegular() const { return notRegular_; }

    // Makes the new index durable and puts it in place, with the old one's
    // permission bits and, where permitted, its owner.  False with errno
    // set and failedStep() the words of what failed ("write", "close",
    // "sync the directory of"); then placed() tells whether the new index
    // took the old one's place before the failure, and durable() whether a
    // crash can no longer undo that.
    bool commit();
    bool placed() const { return placed_; }
    bool durable() const { return durable_; }
    const char* failedStep() const { return failedStep_; }

    // Takes the new index back after a failure: the old one stays.
    void abandon();

private:
    int refuse(const char* path, mode_t type);
    int openTemporary();
    bool removeStale();

    FileIo& io_;
    char target_[PATH_MAX] = {};
    char directory_[PATH_MAX] = {};
    char temporary_[PATH_MAX] = {};
    const char* failedPath_ = "";
    mode_t notRegular_ = 0;
    const char* failedStep_ = "";
    int fd_ = -1;
    bool ownsTemporary_ = false;  // locked by this run: it may remove it
    bool hadOld_ = false;
    bool placed_ = false;
    bool durable_ = false;
    struct stat old_ = {};
    mode_t newMode_ = 0600;
};
