#include "power_cut.hpp"

#include "test_files.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

// --- trees on disk ----------------------------------------------------------------

FileTree readTree(const std::string& root)
{
    FileTree tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file() && !entry.is_symlink())
            tree[entry.path().lexically_relative(root).string()] = readFile(entry.path());
    return tree;
}

void writeTree(const std::string& root, const FileTree& tree)
{
    for (const auto& [path, bytes] : tree) {
        for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            mkdir((root + "/" + path.substr(0, slash)).c_str(), 0755);
        writeFile(root + "/" + path, bytes);
    }
}

// --- recording ----------------------------------------------------------------------

namespace {

// "./bin//x.bin" and "bin/x.bin" are one file; "mail/" is the directory "mail".
std::string normal(const std::string& path)
{
    std::string out = std::filesystem::path(path).lexically_normal().string();
    if (out.size() > 1 && out.ends_with('/'))
        out.pop_back();
    return out.empty() ? "." : out;
}

uint64_t inodeOf(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 ? static_cast<uint64_t>(status.st_ino) : 0;
}

bool isDirectory(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

int RecordingIo::open(const char* path, int flags, mode_t mode)
{
    struct stat before;
    const bool existed = ::lstat(path, &before) == 0;
    const int fd = FileIo::open(path, flags, mode);
    if (fd < 0)
        return fd;
    paths_[fd] = normal(path);
    if (!existed && (flags & O_CREAT))
        calls.push_back({DiskCall::Create, normal(path), "", inodeOf(fd), 0, ""});
    return fd;
}

void RecordingIo::recordWrite(int fd, size_t offset, const char* bytes, size_t size)
{
    calls.push_back({DiskCall::Write, paths_[fd], "", inodeOf(fd), offset, std::string(bytes, size)});
}

ssize_t RecordingIo::write(int fd, const void* from, size_t size)
{
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    const ssize_t written = FileIo::write(fd, from, size);
    if (written > 0)
        recordWrite(fd, static_cast<size_t>(at), static_cast<const char*>(from),
                    static_cast<size_t>(written));
    return written;
}

ssize_t RecordingIo::pwrite(int fd, const void* from, size_t size, off_t offset)
{
    const ssize_t written = FileIo::pwrite(fd, from, size, offset);
    if (written > 0)
        recordWrite(fd, static_cast<size_t>(offset), static_cast<const char*>(from),
                    static_cast<size_t>(written));
    return written;
}

ssize_t RecordingIo::copyFileRange(int from, off_t fromOffset, int to, off_t toOffset, size_t size)
{
    const ssize_t copied = FileIo::copyFileRange(from, fromOffset, to, toOffset, size);
    if (copied > 0) {
        std::string bytes(static_cast<size_t>(copied), '\0');
        if (::pread(to, bytes.data(), bytes.size(), toOffset) != copied)
            throw std::runtime_error("cannot read back what copy_file_range wrote");
        recordWrite(to, static_cast<size_t>(toOffset), bytes.data(), bytes.size());
    }
    return copied;
}

int RecordingIo::ftruncate(int fd, off_t length)
{
    const int result = FileIo::ftruncate(fd, length);
    if (result == 0)
        calls.push_back({DiskCall::Truncate, paths_[fd], "", inodeOf(fd), static_cast<size_t>(length), ""});
    return result;
}

int RecordingIo::fsync(int fd)
{
    const bool directory = isDirectory(fd);
    if (!directory && aroundSync)
        aroundSync(paths_[fd], leased_, false);
    const int result = FileIo::fsync(fd);
    if (result == 0)
        calls.push_back({directory ? DiskCall::SyncDirectory : DiskCall::SyncFile, paths_[fd], "",
                         inodeOf(fd), 0, ""});
    if (!directory && aroundSync)
        aroundSync(paths_[fd], leased_, true);
    return result;
}

int RecordingIo::close(int fd)
{
    paths_.erase(fd);
    return FileIo::close(fd);
}

int RecordingIo::unlink(const char* path)
{
    const int result = FileIo::unlink(path);
    if (result == 0)
        calls.push_back({DiskCall::Unlink, normal(path), "", 0, 0, ""});
    return result;
}

int RecordingIo::rename(const char* from, const char* to)
{
    struct stat moved;
    const uint64_t inode = ::lstat(from, &moved) == 0 ? static_cast<uint64_t>(moved.st_ino) : 0;
    const int result = FileIo::rename(from, to);
    if (result == 0)
        calls.push_back({DiskCall::Rename, normal(from), normal(to), inode, 0, ""});
    return result;
}

int RecordingIo::setLease(int fd, int type)
{
    const int result = FileIo::setLease(fd, type);
    if (result == 0)
        leased_ = type != F_UNLCK;
    return result;
}

void RecordingIo::recordAppend(const std::string& path, const std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0 ||
        ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("the node could not append to " + path);
    ::close(fd);
    calls.push_back({DiskCall::Write, normal(path), "", static_cast<uint64_t>(status.st_ino),
                     static_cast<size_t>(status.st_size), bytes});
}

// --- the model ------------------------------------------------------------------------

namespace {

constexpr size_t kPage = 4096;

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The disk as the program saw it: names to inodes, inodes to bytes.
struct Disk {
    std::map<std::string, uint64_t> names;
    std::map<uint64_t, std::string> bytes;

    FileTree tree() const
    {
        FileTree out;
        for (const auto& [name, inode] : names)
            out[name] = bytes.count(inode) ? bytes.at(inode) : std::string();
        return out;
    }
};

// One change that reaches the disk, or does not, as a whole.
struct Piece {
    enum Kind { Entry, Size, Data } kind;
    size_t call;
    uint64_t inode = 0;
    size_t from = 0;   // Size: the size before; Data: the offset
    size_t to = 0;     // Size: the size after
    std::string bytes;   // Size: what a growth exposes, from the size before; Data: the bytes
};

void applyEntry(const DiskCall& call, Disk& disk)
{
    if (call.kind == DiskCall::Create) {
        disk.names[call.path] = call.inode;
        disk.bytes.try_emplace(call.inode);
    } else if (call.kind == DiskCall::Unlink) {
        disk.names.erase(call.path);
    } else if (call.kind == DiskCall::Rename) {
        // The renamed file, whether or not the entry it had reached the disk.
        disk.names.erase(call.path);
        disk.names[call.to] = call.inode;
    }
}

void applyPiece(const Piece& piece, const std::vector<DiskCall>& calls, Disk& disk)
{
    std::string& bytes = disk.bytes[piece.inode];
    switch (piece.kind) {
    case Piece::Entry:
        applyEntry(calls[piece.call], disk);
        break;
    case Piece::Size:
        bytes.resize(std::min<size_t>(piece.from, piece.to));
        bytes.resize(piece.from, '\0');
        if (piece.to > piece.from)
            bytes += piece.bytes;
        else
            bytes.resize(piece.to);
        break;
    case Piece::Data:
        // Only over bytes that the file holds on the disk at this point.
        for (size_t i = 0; i < piece.bytes.size() && piece.from + i < bytes.size(); ++i)
            bytes[piece.from + i] = piece.bytes[i];
        break;
    }
}

// The calls as pieces, in program order, with the program's view of the
// disk after each call.
struct History {
    std::vector<Piece> pieces;
    std::vector<Disk> after;  // after[i]: once calls [0, i) are made
};

void addOverwrite(size_t call, uint64_t inode, size_t from, const std::string& bytes,
                  std::vector<Piece>& pieces)
{
    for (size_t at = 0; at < bytes.size();) {
        const size_t pageEnd = (from + at) / kPage * kPage + kPage;
        const size_t length = std::min<size_t>(bytes.size() - at, pageEnd - (from + at));
        pieces.push_back({Piece::Data, call, inode, from + at, 0, bytes.substr(at, length)});
        at += length;
    }
}

History historyOf(const Disk& before, const std::vector<DiskCall>& calls)
{
    History history;
    Disk disk = before;
    history.after.push_back(disk);
    for (size_t i = 0; i < calls.size(); ++i) {
        const DiskCall& call = calls[i];
        std::string& bytes = disk.bytes[call.inode];
        const size_t size = bytes.size();
        std::vector<Piece> pieces;
        if (call.kind == DiskCall::Write) {
            const size_t end = call.offset + call.bytes.size();
            if (call.offset < size)
                addOverwrite(i, call.inode, call.offset,
                             call.bytes.substr(0, std::min(end, size) - call.offset), pieces);
            if (end > size) {
                std::string grown(call.offset > size ? call.offset - size : 0, '\0');
                grown += call.bytes.substr(call.offset < size ? size - call.offset : 0);
                pieces.push_back({Piece::Size, i, call.inode, size, end, grown});
            }
        } else if (call.kind == DiskCall::Truncate) {
            pieces.push_back({Piece::Size, i, call.inode, size, call.offset,
                              std::string(call.offset > size ? call.offset - size : 0, '\0')});
            const size_t cleared = std::min((call.offset + kPage - 1) / kPage * kPage, size);
            if (call.offset < size && cleared > call.offset)
                addOverwrite(i, call.inode, call.offset, std::string(cleared - call.offset, '\0'), pieces);
        } else if (call.kind != DiskCall::SyncFile && call.kind != DiskCall::SyncDirectory) {
            pieces.push_back({Piece::Entry, i, 0, 0, 0, ""});
        }
        for (const Piece& piece : pieces)
            applyPiece(piece, calls, disk);
        history.pieces.insert(history.pieces.end(), pieces.begin(), pieces.end());
        history.after.push_back(disk);
    }
    return history;
}

// The choices at one crash point: a prefix of the pending metadata (ext4
// only) and a subset of the other pending units.
struct Choice {
    size_t prefix;
    std::vector<bool> units;
};

std::vector<Choice> choicesFor(size_t metadata, size_t units, uint64_t seed)
{
    std::vector<Choice> choices;
    const std::vector<bool> none(units, false);
    const std::vector<bool> all(units, true);
    for (size_t prefix = 0; prefix <= metadata; ++prefix) {
        choices.push_back({prefix, none});
        choices.push_back({prefix, all});
    }
    for (size_t i = 0; i < units; ++i)
        for (const bool alone : {true, false}) {  // unit i alone, or all but unit i
            std::vector<bool> set(units, !alone);
            set[i] = alone;
            choices.push_back({0, set});
            choices.push_back({metadata, set});
        }
    if (units < 6 && (metadata + 1) << units <= 64) {
        for (size_t prefix = 0; prefix <= metadata; ++prefix)
            for (uint64_t mask = 0; mask < (uint64_t{1} << units); ++mask) {
                std::vector<bool> set(units);
                for (size_t i = 0; i < units; ++i)
                    set[i] = (mask >> i) & 1;
                choices.push_back({prefix, set});
            }
        return choices;
    }
    std::mt19937_64 random(seed);
    for (int n = 0; n < 16; ++n) {
        std::vector<bool> set(units);
        for (size_t i = 0; i < units; ++i)
            set[i] = random() & 1;
        choices.push_back({static_cast<size_t>(random() % (metadata + 1)), set});
    }
    return choices;
}

// ext4, data=ordered: after calls [0, crash).
void ext4States(const Disk& before, const std::vector<DiskCall>& calls, const History& history,
                size_t crash, const std::function<void(const FileTree&)>& emit)
{
    size_t committedBefore = 0;  // every metadata change of a call before it is on disk
    for (size_t i = 0; i < crash; ++i)
        if (calls[i].kind == DiskCall::SyncFile || calls[i].kind == DiskCall::SyncDirectory)
            committedBefore = i;
    const auto durableData = [&](const Piece& piece) {
        return std::any_of(calls.begin() + piece.call + 1, calls.begin() + crash, [&](const DiskCall& call) {
            return call.kind == DiskCall::SyncFile && call.inode == piece.inode;
        });
    };
    std::vector<const Piece*> metadata;
    std::vector<const Piece*> data;
    for (const Piece& piece : history.pieces) {
        if (piece.call >= crash)
            break;
        if (piece.kind == Piece::Data ? !durableData(piece) : piece.call >= committedBefore)
            (piece.kind == Piece::Data ? data : metadata).push_back(&piece);
    }
    for (const Choice& choice : choicesFor(metadata.size(), data.size(), crash)) {
        Disk disk = before;
        for (const Piece& piece : history.pieces) {
            if (piece.call >= crash)
                break;
            const auto inMetadata = std::find(metadata.begin(), metadata.end(), &piece);
            const auto inData = std::find(data.begin(), data.end(), &piece);
            const bool applied =
                inMetadata != metadata.end()
                    ? static_cast<size_t>(inMetadata - metadata.begin()) < choice.prefix
                    : inData == data.end() || choice.units[static_cast<size_t>(inData - data.begin())];
            if (applied)
                applyPiece(piece, calls, disk);
        }
        emit(disk.tree());
    }
}

// What one file is on the disk after a cut, from its synced bytes and its
// latest ones: a size of either, and each 4 KiB page of either.
struct PendingFile {
    std::string synced;
    std::string latest;
    std::vector<size_t> pages;  // those that differ
};

// The pages that the two share need no choice; fromLatest[i] chooses the
// source of the i-th page that differs, zeros past the end of its bytes.
std::string persisted(const PendingFile& file, bool newSize, std::vector<bool>::const_iterator fromLatest)
{
    std::string bytes = newSize ? file.latest : file.synced;
    for (size_t i = 0; i < file.pages.size(); ++i) {
        const size_t at = file.pages[i] * kPage;
        std::string source = fromLatest[static_cast<long>(i)] ? file.latest : file.synced;
        source.resize(std::max(source.size(), at + kPage), '\0');
        if (at < bytes.size())
            bytes.replace(at, std::min(kPage, bytes.size() - at), source, at, std::min(kPage, bytes.size() - at));
    }
    return bytes;
}

// Strict: after calls [0, crash).
void strictStates(const Disk& before, const std::vector<DiskCall>& calls, const History& history,
                  size_t crash, const std::function<void(const FileTree&)>& emit)
{
    // Each file's bytes as of its last sync, each directory's entries as of its.
    std::map<uint64_t, size_t> fileSynced;
    std::map<std::string, size_t> directorySynced;
    for (size_t i = 0; i < crash; ++i) {
        if (calls[i].kind == DiskCall::SyncFile)
            fileSynced[calls[i].inode] = i;
        if (calls[i].kind == DiskCall::SyncDirectory)
            directorySynced[normal(calls[i].path)] = i;
    }
    const Disk& latest = history.after[crash];
    std::map<uint64_t, PendingFile> files;
    for (const auto& [inode, bytes] : latest.bytes) {
        PendingFile file;
        const auto synced = fileSynced.find(inode);
        const Disk& then = synced == fileSynced.end() ? before : history.after[synced->second];
        file.synced = then.bytes.count(inode) ? then.bytes.at(inode) : std::string();
        file.latest = bytes;
        if (file.synced == file.latest)
            continue;
        const size_t longest = std::max(file.synced.size(), file.latest.size());
        std::string old = file.synced;
        std::string now = file.latest;
        old.resize(longest, '\0');
        now.resize(longest, '\0');
        for (size_t page = 0; page * kPage < longest; ++page)
            if (old.compare(page * kPage, kPage, now, page * kPage, kPage) != 0)
                file.pages.push_back(page);
        files[inode] = file;
    }
    std::vector<size_t> entries;  // pending entry changes
    for (size_t i = 0; i < crash; ++i) {
        const DiskCall& call = calls[i];
        const bool entry = call.kind == DiskCall::Create || call.kind == DiskCall::Unlink ||
                           call.kind == DiskCall::Rename;
        const auto synced = directorySynced.find(directoryOf(call.path));
        if (entry && (synced == directorySynced.end() || synced->second < i))
            entries.push_back(i);
    }
    size_t units = entries.size();
    for (const auto& [inode, file] : files)
        units += 1 + file.pages.size();
    for (const Choice& choice : choicesFor(0, units, crash)) {
        Disk disk = before;
        // The entries: the durable ones, then the pending ones chosen, in order.
        for (size_t i = 0; i < crash; ++i) {
            const auto pending = std::find(entries.begin(), entries.end(), i);
            if (pending == entries.end() || choice.units[static_cast<size_t>(pending - entries.begin())])
                applyEntry(calls[i], disk);
        }
        size_t unit = entries.size();
        disk.bytes = latest.bytes;
        for (const auto& [inode, file] : files) {
            const bool newSize = choice.units[unit++];
            disk.bytes[inode] = persisted(file, newSize, choice.units.begin() + static_cast<long>(unit));
            unit += file.pages.size();
        }
        emit(disk.tree());
    }
}

}  // namespace

void forEachCrashState(const FileTree& before, const std::vector<DiskCall>& calls, DiskModel model,
                       const std::function<bool(size_t after, const FileTree&)>& visit)
{
    // The files of the tree before the run, each an inode of its own, with
    // a number that no file the run creates has.
    Disk disk;
    uint64_t inode = uint64_t{1} << 62;
    for (const auto& [path, bytes] : before) {
        disk.names[path] = inode;
        disk.bytes[inode++] = bytes;
    }
    // The calls name the tree's files by their real inodes: map those.
    std::vector<DiskCall> mapped = calls;
    std::map<uint64_t, uint64_t> real;
    for (DiskCall& call : mapped) {
        const auto known = disk.names.find(call.path);  // never a directory, nor an unlinked file's 0
        if (call.kind == DiskCall::Create)
            real[call.inode] = call.inode;
        else if (call.kind != DiskCall::Unlink && known != disk.names.end())
            real.try_emplace(call.inode, known->second);
        if (real.count(call.inode))
            call.inode = real[call.inode];
    }
    const History history = historyOf(disk, mapped);
    std::set<FileTree> seen;
    bool going = true;
    for (size_t crash = 0; crash <= mapped.size() && going; ++crash) {
        const auto emit = [&](const FileTree& tree) {
            if (going && seen.insert(tree).second)
                going = visit(crash, tree);
        };
        if (model == DiskModel::Ext4Ordered)
            ext4States(disk, mapped, history, crash, emit);
        else
            strictStates(disk, mapped, history, crash, emit);
    }
}
