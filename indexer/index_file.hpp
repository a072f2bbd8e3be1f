// Puts a new index in the place of the old one whole: it is written to a
// temporary file beside the index, synced and renamed over it, so that a
// reader, or a kill at any instant, finds the complete old index or the
// complete new one.
#pragma once

#include <climits>
#include <sys/stat.h>

class IndexFile {
public:
    IndexFile() = default;
    IndexFile(const IndexFile&) = delete;
    IndexFile& operator=(const IndexFile&) = delete;
    ~IndexFile();

    // The descriptor to write the new index to, or -1 with errno set.  An
    // index that is a symbolic link stays one: its target is replaced.  An
    // index that is not a regular file (a device, say) is written in place.
    // Where there is no index yet, the new one gets newMode.
    int open(const char* indexPath, mode_t newMode);

    // Makes the new index durable and puts it in place, with the old one's
    // mode and, where permitted, its owner.  False with errno set; unless
    // placed() says otherwise, the old index is then untouched.
    bool commit();
    bool placed() const { return placed_; }
    // False for an index written in place, which a failure leaves partial.
    bool replacesWhole() const { return !inPlace_; }

    // Takes the new index back after a failure: the old one stays.
    void abandon();

private:
    int openTemporary();

    char target_[PATH_MAX] = {};
    char temporary_[PATH_MAX + 8] = {};
    int fd_ = -1;
    bool inPlace_ = false;
    bool ownsTemporary_ = false;  // locked by this run: it may remove it
    bool hadOld_ = false;
    bool placed_ = false;
    struct stat old_ = {};
    mode_t newMode_ = 0600;
};
