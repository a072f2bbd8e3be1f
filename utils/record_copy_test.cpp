#include "record_copy.hpp"

#include "test_files.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kSize = 8;

// Keeps the records whose first byte is 'k'.
class FirstByte : public PurgeRules {
public:
    bool keep(const unsigned char* record, time_t) override { return record[0] == 'k'; }
    void printSummary(FILE*, long, long) override {}
    void writeSettings(char*, size_t) const override {}
    std::unique_ptr<PurgeRules> fromSettings(const char*) const override { return nullptr; }
};

struct Files {
    TempDir dir;
    FileIo io;
    int data;
    int backup;
    Files(const std::string& dataBytes, const std::string& backupBytes)
    {
        writeFile(dir / "data", dataBytes);
        writeFile(dir / "backup", backupBytes);
        data = io.open((dir / "data").c_str(), O_RDWR);
        backup = io.open((dir / "backup").c_str(), O_RDONLY);
    }
    ~Files()
    {
        io.close(data);
        io.close(backup);
    }
};

const std::string kBackup = "kkkkkkkkdddddddddddddddd" "kkkkkkkkdddddddd";  // kept 16 of 40 bytes

// After a cut, whether the data file had its truncation to the kept length:
// past it, only the backup's bytes or zeros mean that it had not.
TEST(RecordCopier, TellsATruncationThatReachedTheDisk)
{
    const struct {
        const char* name;
        std::string data;
        bool truncated;
    } cases[] = {
        {"the old length, the start rewritten", "kkkkkkkkkkkkkkkk" + kBackup.substr(16), false},
        {"the rest of the last block cleared",
         "kkkkkkkkkkkkkkkk" + std::string(20, '\0') + kBackup.substr(36), false},
        {"shorter than the backup", "kkkkkkkkkkkkkkkk", true},
        {"the node's records past the kept length",
         "kkkkkkkkkkkkkkkk" + std::string("nnnnnnnnnnnnnnnnnnnnnnnn"), true},
        {"one byte of the node's among zeros", "kkkkkkkkkkkkkkkk" + std::string(23, '\0') + "n", true},
    };
    for (const auto& c : cases) {
        Files files(c.data, kBackup);
        RecordCopier copier(files.io, kSize);
        bool truncated = !c.truncated;
        ASSERT_TRUE(copier.truncatedPast(files.data, files.backup, 16, kBackup.size(), truncated)) << c.name;
        EXPECT_EQ(truncated, c.truncated) << c.name;
    }
}

// The rewrite never writes at or past the kept length it is given: a
// backup that gives more stops it there, as a mismatch.
TEST(RecordCopier, RewritesBelowTheKeptLengthOnly)
{
    const struct {
        uint64_t keptLength;
        Pass pass;
        std::string data;
    } cases[] = {
        {16, Pass::Done, "kkkkkkkkkkkkkkkk" "nodes"},
        {8, Pass::Mismatch, "xxxxxxxxxxxxxxxx" "nodes"},
        {24, Pass::Mismatch, "kkkkkkkkkkkkkkkk" "nodes"},
    };
    for (const auto& c : cases) {
        Files files("xxxxxxxxxxxxxxxx" "nodes", kBackup);
        RecordCopier copier(files.io, kSize);
        FirstByte rules;
        EXPECT_EQ(copier.rewrite(files.backup, files.data, rules, 0, kBackup.size(), c.keptLength, false),
                  c.pass)
            << c.keptLength;
        EXPECT_EQ(readFile(files.dir / "data"), c.data) << c.keptLength;
    }
}

}  // namespace
