#include "mail_purge.hpp"
#include "failing_io.hpp"
#include "programs_under_test.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const time_t kNow = utcTime(2026, 12, 7, 12, 0, 0);

class MailJudgement : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// GCC 12 at -O3 takes the strings of this table for uninitialised where it
// destroys them, a false warning: every case is initialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
TEST_F(MailJudgement, DropsKAndOldUnlessProtected)
{
    const std::string yesterday = dateTextDaysBefore(kNow, 1);
    const std::string old = dateTextDaysBefore(kNow, 31);
    const struct {
        const char* name;
        MailRecord record;
        int bull, priv;
        time_t now;
        bool dropped;
    } cases[] = {
        {"fresh", {'B', 'N', 1, yesterday, 0}, 30, 30, kNow, false},
        {"old bulletin", {'B', 'N', 1, old, 0}, 30, 30, kNow, true},
        {"old but protected", {'B', 'N', 1, old, 1}, 30, 30, kNow, false},
        {"K whatever its date", {'B', 'K', 1, yesterday, 0}, 30, 30, kNow, true},
        {"K with an unreadable date", {'P', 'K', 1, std::string(12, '\xFF'), 0}, 30, 30, kNow, true},
        {"K protected", {'B', 'K', 1, yesterday, 7}, 30, 30, kNow, false},
        {"private limit", {'P', 'N', 1, dateTextDaysBefore(kNow, 5), 0}, 30, 4, kNow, true},
        {"lower-case p is a bulletin", {'p', 'N', 1, dateTextDaysBefore(kNow, 5), 0}, 30, 4, kNow, false},
        {"bulletin limit", {'B', 'N', 1, dateTextDaysBefore(kNow, 5), 0}, 4, 30, kNow, true},
        // The age is measured from 00:00 of the date: exactly the limit stays.
        {"exactly the limit", {'B', 'N', 1, dateText(2026, 12, 6), 0}, 1, 1,
         utcTime(2026, 12, 7), false},
        {"one second more", {'B', 'N', 1, dateText(2026, 12, 6), 0}, 1, 1,
         utcTime(2026, 12, 7, 0, 0, 1), true},
        {"future date", {'B', 'N', 1, dateText(2027, 3, 1), 0}, 1, 1, kNow, false},
        {"no overflow", {'B', 'N', 1, dateText(1980, 1, 1), 0}, 100000, 100000, kNow, false},
        {"largest limit", {'B', 'N', 1, dateText(1980, 1, 1), 0}, 2147483647, 1, kNow, false},
        {"unreadable date", {'B', 'N', 1, std::string("garbage\0\0\0\0\0", 12), 0}, 30, 30, kNow, true},
        {"after 2038: dated 2040 in 2039", {'B', 'N', 1, dateText(2040, 1, 1), 0}, 30, 30,
         utcTime(2039, 12, 16), false},
        {"after 2038: older than the limit", {'B', 'N', 1, dateText(2039, 11, 15), 0}, 30, 30,
         utcTime(2039, 12, 16), true},
    };
    for (const auto& c : cases) {
        PurgeSettings settings;
        settings.nBullDelete = c.bull;
        settings.nPrivDelete = c.priv;
        DateCache dates;
        const std::string record = mailRecord(c.record);
        EXPECT_EQ(mailRecordDropped(reinterpret_cast<const unsigned char*>(record.data()), settings,
                                    c.now, dates),
                  c.dropped)
            << c.name;
    }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

TEST(MailMessagePath, FormatsTheNumberAsSigned32Bits)
{
    const struct {
        const char* mail;
        uint32_t number;
        const char* path;
    } cases[] = {
        {"../mail/", 42, "../mail/m0000042.msg"},
        {"/var/mail", 42, "/var/mailm0000042.msg"},
        {"", 12345678, "m12345678.msg"},
        {"", 2147483648u, "m-2147483648.msg"},
        {"", 4294967254u, "m-000042.msg"},
    };
    for (const auto& c : cases) {
        MailRecord fields;
        fields.number = c.number;
        fields.date = dateText(2026, 1, 1);
        const std::string record = mailRecord(fields);
        char path[kPathSize];
        ASSERT_TRUE(buildMessagePath(path, sizeof path, c.mail,
                                     mailNumber(reinterpret_cast<const unsigned char*>(record.data()))));
        EXPECT_STREQ(path, c.path);
    }
    // A file name in the mail directory gives back its number in that form
    // only.
    const struct {
        const char* name;
        const char* stem;
        bool taken;
        int32_t number;
    } names[] = {
        {"m0000042.msg", "", true, 42},
        {"mailm0000042.msg", "mail", true, 42},
        {"m12345678.msg", "", true, 12345678},
        {"m-000042.msg", "", true, -42},
        {"m-2147483648.msg", "", true, INT32_MIN},
        {"m42.msg", "", false, 0},
        {"m+000042.msg", "", false, 0},
        {"m0000042.msg.bak", "", false, 0},
        {"m0000042.msg", "mail", false, 0},
        {"m2147483648.msg", "", false, 0},
        {"x0000042.msg", "", false, 0},
    };
    for (const auto& n : names) {
        int32_t number = 0;
        EXPECT_EQ(messageFileNumber(n.name, n.stem, number), n.taken) << n.name;
        if (n.taken) {
            EXPECT_EQ(number, n.number) << n.name;
        }
    }

    const std::string longest(kPathSize - 17, 'm');
    EXPECT_EQ(longestMessagePath(longest.c_str()), kPathSize);
    char path[kPathSize];
    EXPECT_TRUE(buildMessagePath(path, sizeof path, longest.c_str(), -2147483647L - 1));
    EXPECT_FALSE(buildMessagePath(path, sizeof path, (longest + "m").c_str(), -2147483647L - 1));
}

// Only the message files that are there are removed, in the order of their
// records; a mail directory that cannot be read gets a removal for each.
TEST_F(MailJudgement, RemovesTheMessageFilesThatAreThereInRecordOrder)
{
    for (bool unreadable : {false, true}) {
        TempDir dir;
        for (const char* name : {"m0000009.msg", "m0000003.msg", "m42.msg", "other"})
            writeFile(dir / name, "text");
        PurgeSettings settings;
        std::snprintf(settings.szMailPath, sizeof settings.szMailPath, "%s/", dir.path().c_str());
        MailRules rules(settings, {"KELDRAN", stdout, stderr, true, false});
        FailingIo io;
        std::vector<std::string> removed;
        io.before = [&](const std::string& call) {
            if (call.rfind("unlink ", 0) == 0)
                removed.push_back(call.substr(7));
        };
        if (unreadable)
            io.refusals["list "] = {EACCES};
        rules.prepare(io);
        for (uint32_t number : {9u, 5u, 3u, 42u}) {
            const std::string record = mailRecord({'B', 'K', number, dateText(2026, 1, 1), 0});
            rules.dropped(reinterpret_cast<const unsigned char*>(record.data()));
        }
        EXPECT_TRUE(rules.afterRewrite(io, false));
        const std::vector<std::string> expected =
            unreadable ? std::vector<std::string>{dir / "m0000009.msg", dir / "m0000005.msg",
                                                  dir / "m0000003.msg", dir / "m0000042.msg"}
                       : std::vector<std::string>{dir / "m0000009.msg", dir / "m0000003.msg"};
        EXPECT_EQ(removed, expected) << unreadable;
        EXPECT_FALSE(fileExists(dir / "m0000009.msg"));
        EXPECT_TRUE(fileExists(dir / "m42.msg"));
    }
}

// With verbose, the cut-off of both limits comes first, then each dropped
// message with the reason it goes, one less than a day past its limit being
// "over" it; with nothing dropped the cut-off still comes; quiet, nothing.
TEST_F(MailJudgement, VerboseGivesTheCutOffAndEachReason)
{
    const std::string cutOff = "Cut-off: private mail dated 6-Dec-2026 or later stays (P=2), other "
                               "mail dated 8-Nov-2026 or later (B=30)\n";
    const auto run = [](const std::vector<MailRecord>& records, bool quiet) {
        PurgeSettings settings;
        settings.nPrivDelete = 2;
        FILE* out = tmpfile();
        MailRules rules(settings, {"KELDRAN", out, stderr, quiet, !quiet});
        for (const MailRecord& fields : records) {
            const std::string record = mailRecord(fields);
            const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
            if (!rules.keep(bytes, utcTime(2026, 12, 7, 0, 0, 1)))
                rules.dropped(bytes);
        }
        rules.printSummary(out, 0, 0);
        std::rewind(out);
        std::string text(4096, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), out));
        std::fclose(out);
        return text;
    };
    const MailRecord kept = {'B', 'N', 4, dateText(2026, 11, 8), 0};
    const MailRecord k = {'B', 'K', 1, dateText(2026, 12, 7), 0};
    const std::string text = run({k, kept, {'B', 'N', 2, dateText(2026, 11, 7), 0},
                                  {'P', 'N', 3, dateText(2026, 12, 1), 0}}, false);
    EXPECT_EQ(text.rfind(cutOff + "Deleting message #1 ...\n", 0), 0u) << text;
    EXPECT_NE(text.find("  (status K)\nDeleting message #2 ...\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  (over 30 days old, limit B=30)\nDeleting message #3 ...\n"), std::string::npos);
    EXPECT_NE(text.find("  (6 days old, limit P=2)\nKELDRAN completed.\n"), std::string::npos);
    EXPECT_EQ(run({kept}, false), cutOff + "KELDRAN completed.\n");
    EXPECT_EQ(run({k, kept}, true), "KELDRAN completed.\n");
}

}  // namespace
