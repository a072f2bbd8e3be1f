#include "file_holders.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isNumber(const char* name)
{
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

// A small file of /proc, read whole or up to size bytes: its length, or -1.
ssize_t readProcFile(FileIo& io, const char* path, char* into, size_t size)
{
    const int fd = io.open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    const ssize_t length = readFull(io, fd, into, size);
    if (io.close(fd) != 0)
        return -1;
    return length;
}

// The text as a line of a message may carry it: the words of a command
// line, apart at NULs, joined by spaces; a byte that a terminal or the
// journal could take for a control, which the holder chose, as '?'; a text
// cut short ends in "...".
void printable(const char* from, size_t length, bool cut, char* to, size_t size)
{
    while (length > 0 && (from[length - 1] == '\0' || from[length - 1] == '\n'))
        --length;
    if (length >= size) {
        length = size - 1;
        cut = true;
    }
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(from[i]);
        to[i] = byte == '\0' ? ' ' : byte < 0x20 || byte > 0x7e ? '?' : static_cast<char>(byte);
    }
    to[length] = '\0';
    if (cut && length >= 3)
        std::memcpy(to + length - 3, "...", 3);
}

// A /proc file's text, made printable; empty where it cannot be read.
template <size_t Size>
void readPrintable(FileIo& io, const char* path, char (&to)[Size])
{
    char text[Size + 1];
    const ssize_t length = readProcFile(io, path, text, sizeof text);
    if (length <= 0) {
        to[0] = '\0';
        return;
    }
    printable(text, static_cast<size_t>(length), static_cast<size_t>(length) == sizeof text, to, Size);
}

// How a descriptor was opened: the "flags:" line of its fdinfo, in octal.
FileHolder::Access accessOf(FileIo& io, const char* fdinfo)
{
    char text[512];
    const ssize_t length = readProcFile(io, fdinfo, text, sizeof text - 1);
    if (length <= 0)
        return FileHolder::Access::Unknown;
    text[length] = '\0';
    const char* flags = std::strstr(text, "flags:");
    if (!flags)
        return FileHolder::Access::Unknown;
    char* end = nullptr;
    const unsigned long value = std::strtoul(flags + 6, &end, 8);
    if (end == flags + 6)
        return FileHolder::Access::Unknown;
    const unsigned long mode = value & O_ACCMODE;
    return mode == O_WRONLY || mode == O_RDWR ? FileHolder::Access::Writing
                                              : FileHolder::Access::Reading;
}

struct Scan {
    FileIo& io;
    struct stat file;
    std::vector<FileHolder> holders;
};

// One process: each of its descriptors that leads to the file.  Entries
// that cannot be read are passed over: the process may have ended, or be
// another user's.
void lookAt(Scan& scan, const char* pid)
{
    char directory[64];
    std::snprintf(directory, sizeof directory, "/proc/%s/fd", pid);
    FileHolder holder;
    bool holds = false;
    scan.io.listDirectory(directory, [&](const char* fd) {
        char path[96];
        struct stat status;
        if (!isNumber(fd) ||
            std::snprintf(path, sizeof path, "%s/%s", directory, fd) >= static_cast<int>(sizeof path) ||
            scan.io.stat(path, status) != 0 || status.st_dev != scan.file.st_dev ||
            status.st_ino != scan.file.st_ino)
            return;
        holds = true;
        std::snprintf(path, sizeof path, "/proc/%s/fdinfo/%s", pid, fd);
        holder.access = std::max(holder.access, accessOf(scan.io, path));
    });
    if (!holds)
        return;
    holder.pid = static_cast<pid_t>(std::strtol(pid, nullptr, 10));
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/comm", pid);
    readPrintable(scan.io, path, holder.name);
    std::snprintf(path, sizeof path, "/proc/%s/cmdline", pid);
    readPrintable(scan.io, path, holder.command);
    scan.holders.push_back(holder);
}

}  // namespace

FileHolders findFileHolders(FileIo& io, int fd)
{
    FileHolders found;
    Scan scan{io, {}, {}};
    if (io.fstat(fd, scan.file) != 0) {
        found.error = errno;
        return found;
    }
    char self[16];
    std::snprintf(self, sizeof self, "%ld", static_cast<long>(getpid()));
    if (io.listDirectory("/proc", [&](const char* name) {
            // A pid's digits fit in 20 bytes; a longer name is no process.
            if (isNumber(name) && std::strlen(name) < 20 && std::strcmp(name, self) != 0)
                lookAt(scan, name);
        }) != 0) {
        found.error = errno;
        return found;
    }
    found.looked = true;
    found.holders = std::move(scan.holders);
    std::sort(found.holders.begin(), found.holders.end(),
              [](const FileHolder& a, const FileHolder& b) { return a.pid < b.pid; });
    return found;
}
