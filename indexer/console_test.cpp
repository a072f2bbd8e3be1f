#include "console.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

// Feeds standard input from a pipe for the life of the object.
class PipedInput {
public:
    PipedInput()
    {
        if (pipe(ends_) != 0)
            throw std::runtime_error("pipe");
        saved_ = dup(0);
        dup2(ends_[0], 0);
    }
    ~PipedInput()
    {
        dup2(saved_, 0);
        close(saved_);
        close(ends_[0]);
        endInput();
    }
    void feed(const std::string& bytes)
    {
        ASSERT_EQ(write(ends_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void endInput()
    {
        if (ends_[1] >= 0)
            close(ends_[1]);
        ends_[1] = -1;
    }

private:
    int ends_[2];
    int saved_;
};

TEST(ConsoleStrings, ConvertInPlace)
{
    struct Case {
        std::string text, reversed, upper, lower;
    };
    const Case cases[] = {
        {"", "", "", ""},
        {"a", "a", "A", "a"},
        {"abc", "cba", "ABC", "abc"},
        {"abcd", "dcba", "ABCD", "abcd"},
        {"Base.FUL", "LUF.esaB", "BASE.FUL", "base.ful"},
        {"09 !&~", "~&! 90", "09 !&~", "09 !&~"},
        {"\xE9t\xC9", "\xC9t\xE9", "\xE9T\xC9", "\xE9t\xC9"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(STR_reverse(text.data()), text.data());
        EXPECT_EQ(text, c.reversed) << c.text;
        text = c.text;
        EXPECT_EQ(std::string(STR_upper(text.data())), c.upper) << c.text;
        text = c.text;
        EXPECT_EQ(std::string(STR_lower(text.data())), c.lower) << c.text;
        text = c.text;
        EXPECT_EQ(std::string(STR_lower(STR_upper(text.data()))), c.lower) << c.text;
    }
}

TEST(ConsoleCursor, StubsAndDirectOutput)
{
    EXPECT_EQ(CON_column(), 1);
    EXPECT_EQ(CON_row(), 1);
    testing::internal::CaptureStdout();
    CON_moveTo(40, 12);
    EXPECT_EQ(CON_putChar('|'), '|');
    CON_moveTo(1, 1);
    EXPECT_EQ(CON_putChar(0x100 + '/'), 0x100 + '/');  // only the low byte is written
    EXPECT_EQ(CON_putString(7, "ab"), 0);
    char counted[8] = "xyzw";
    EXPECT_EQ(CON_putCounted(0, counted, 2), 0);
    char empty[4] = "q";
    EXPECT_EQ(CON_putCounted(0, empty, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "|/abxy\n\n");
    EXPECT_STREQ(counted, "xy");
}

TEST(ConsoleInput, ReadsFromDescriptorZero)
{
    PipedInput in;
    in.feed("hello\nrest");
    EXPECT_EQ(CON_keyWaiting(), 10);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    const int start = 2;
    EXPECT_EQ(CON_readLine(buffer, &start, 8), '\r');
    EXPECT_EQ(std::string(buffer, 2), "##");  // nothing before the start index
    EXPECT_STREQ(buffer + 2, "hello");       // the LF became the terminator
    EXPECT_EQ(start, 2);

    std::memset(buffer, '#', sizeof buffer);
    const int zero = 0;
    EXPECT_EQ(CON_readLine(buffer, &zero, 3), '\r');
    EXPECT_EQ(std::string(buffer, 3), std::string("re\0", 3));  // a full buffer loses its last byte

    EXPECT_EQ(CON_getChar(), 't');
    in.endInput();
    std::memset(buffer, '#', sizeof buffer);
    const int one = 1;
    EXPECT_EQ(CON_readLine(buffer, &one, 8), '\r');
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(buffer[1], '\0');  // nothing read: an empty text at the start index
}

}  // namespace
