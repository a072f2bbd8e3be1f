// The mail kind's check beside its records: the message files of the mail
// directory that no record names, and the records whose message file is
// missing.
#include "mail_purge.hpp"
#include "purge_check.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

namespace {

class MessageFilesCheck : public KindFilesCheck {
public:
    MessageFilesCheck(FileIo& io, const PurgeSettings& settings, const char* dataPath,
                      Findings& findings);
    void record(const unsigned char* record, uint64_t number, uint64_t offset) override;
    void end() override;

private:
    const PurgeSettings& settings_;
    const char* dataPath_;
    Findings& findings_;
    // The numbers of the message files in the mail directory, sorted, and
    // which of them a record names.
    bool listed_ = false;
    std::vector<int32_t> messageFiles_;
    std::vector<bool> named_;
};

// As the purge reads it: the numbers of the message files, 4 bytes each.
MessageFilesCheck::MessageFilesCheck(FileIo& io, const PurgeSettings& settings,
                                     const char* dataPath, Findings& findings)
    : settings_(settings), dataPath_(dataPath), findings_(findings)
{
    char directory[kPathSize];
    const char* stem = mailDirectory(settings_.szMailPath, directory);
    listed_ = io.listDirectory(directory, [&](const char* name) {
        int32_t number = 0;
        if (messageFileNumber(name, stem, number))
            messageFiles_.push_back(number);
    }) == 0;
    if (!listed_) {
        findings_.add(kMailDirectory, "%s: %s: no message file was checked", directory,
                      errno == ENOENT ? "the mail directory does not exist"
                                      : std::strerror(errno));
        messageFiles_.clear();
        return;
    }
    std::sort(messageFiles_.begin(), messageFiles_.end());
    named_.assign(messageFiles_.size(), false);
}

void MessageFilesCheck::record(const unsigned char* record, uint64_t number, uint64_t offset)
{
    if (!listed_)
        return;
    const long message = mailNumber(record);
    const auto found = std::lower_bound(messageFiles_.begin(), messageFiles_.end(),
                                        static_cast<int32_t>(message));
    if (found != messageFiles_.end() && *found == message) {
        named_[static_cast<size_t>(found - messageFiles_.begin())] = true;
        return;
    }
    char path[kPathSize];
    if (!buildMessagePath(path, sizeof path, settings_.szMailPath, message))
        return;
    findings_.add(kMessageMissing, "%s: record %" PRIu64 " at byte %" PRIu64 ": the file of "
                                   "message #%ld, %s, is missing",
                  dataPath_, number, offset, message, path);
}

void MessageFilesCheck::end()
{
    char path[kPathSize];
    for (size_t i = 0; i < messageFiles_.size(); ++i)
        if (!named_[i] && buildMessagePath(path, sizeof path, settings_.szMailPath, messageFiles_[i]))
            findings_.add(kMessageUnnamed, "%s: no record names this message file: no purge ever "
                                           "removes it",
                          path);
}

}  // namespace

std::unique_ptr<KindFilesCheck> checkMessageFiles(FileIo& io, const PurgeSettings& settings,
                                                  const char* dataPath, Findings& findings)
{
    return std::make_unique<MessageFilesCheck>(io, settings, dataPath, findings);
}
