// The configuration file reader against files the tests write. Runs against
// the real DLL (and so the real msvcrt) under Wine, and natively.

#include "modutil.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

class FileReader : public ::testing::Test {
protected:
    // Writes the text (bytes as given) to a file of this test's own and opens it.
    FILE *Open(const std::string &text)
    {
        Close();
        path_ = std::string("reader_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::ofstream(path_, std::ios::binary) << text;
        stream_ = MU_fOpen(path_.c_str());
        return stream_;
    }
    void Close()
    {
        MU_fClose(stream_);
        stream_ = nullptr;
    }
    void TearDown() override
    {
        Close();
        std::remove(path_.c_str());
    }

    // Every significant line up to the end, through a buffer of `size`.
    std::vector<std::string> ReadAll(int limit = 0, const char *key = nullptr, unsigned size = MU_MAX_TEXT)
    {
        std::vector<std::string> lines;
        std::vector<char> buffer(MU_MAX_TEXT);
        while (MU_fGetLine(stream_, limit, buffer.data(), key, size))
            lines.emplace_back(buffer.data());
        return lines;
    }

    std::string path_;
    FILE *stream_ = nullptr;
};

using Lines = std::vector<std::string>;

TEST_F(FileReader, SkipsBlankAndCommentLines)
{
    for (const char *text : {"\n   \n\t; indented comment\n;x\n", "", "\r\n \r\n;\r\n", "   ", ";no line feed",
                             "\xEF\xBB\xBF; a comment, saved with a byte-order mark\n", "\xEF\xBB\xBF"}) {
        ASSERT_NE(Open(text), nullptr);
        std::array<char, 8> buffer = {'u', 'n', 't', 'o', 'u', 'c', 'h', '\0'};
        EXPECT_EQ(MU_fGetNextLine(stream_, 0, buffer.data(), buffer.size()), 0) << text;
        EXPECT_STREQ(buffer.data(), "untouch");
    }
}

TEST_F(FileReader, DeliversTrimmedLinesAtTrueByteOffsets)
{
    const struct {
        const char *text;
        Lines lines;
        std::vector<int> positions;
    } cases[] = {
        {"line one\nline two\nthird\n", {"line one", "line two", "third"}, {9, 18, 24}},
        {"line one\r\nline two\r\nthird\r\n", {"line one", "line two", "third"}, {10, 20, 27}},
        {"   key = value   \n\n; c\n\tx\t\r\nlast", {"key = value", "x", "last"}, {18, 28, 32}},
        // A UTF-8 byte-order mark at the very start is whitespace; anywhere else it is data.
        {"\xEF\xBB\xBF; comment\n[Section]\nkey 1\n", {"[Section]", "key 1"}, {23, 29}},
        {"\xEF\xBB\xBF" "first\nsecond \xEF\xBB\xBF\n", {"first", "second \xEF\xBB\xBF"}, {9, 20}},
    };
    for (const auto &c : cases) {
        ASSERT_NE(Open(c.text), nullptr);
        EXPECT_EQ(MU_fGetPos(stream_), 0);
        std::vector<char> buffer(64);
        for (size_t i = 0; i < c.lines.size(); ++i) {
            ASSERT_EQ(MU_fGetNextLine(stream_, 0, buffer.data(), buffer.size()), 1) << c.text;
            EXPECT_EQ(buffer.data(), c.lines[i]);
            EXPECT_EQ(MU_fGetPos(stream_), c.positions[i]) << c.text << " line " << i;
        }
        EXPECT_EQ(MU_fGetNextLine(stream_, 0, buffer.data(), buffer.size()), 0);

        // Back to a reported position, the same lines follow.
        EXPECT_EQ(MU_fSetPos(stream_, c.positions[0], 0), c.positions[0]);
        EXPECT_EQ(ReadAll(), Lines(c.lines.begin() + 1, c.lines.end()));
    }
}

TEST_F(FileReader, WritesExactlySizeBytes)
{
    ASSERT_NE(Open("abcdefgh\nabc\n"), nullptr);
    std::array<char, 24> buffer;
    buffer.fill('#');
    ASSERT_EQ(MU_fGetNextLine(stream_, 0, buffer.data(), 5), 1);
    EXPECT_EQ(std::string(buffer.data(), 6), std::string("abcd\0#", 6));

    buffer.fill('#');
    ASSERT_EQ(MU_fGetNextLine(stream_, 0, buffer.data(), 16), 1);
    EXPECT_EQ(std::string(buffer.data(), 17), std::string("abc\0\0\0\0\0\0\0\0\0\0\0\0\0#", 17));
}

TEST_F(FileReader, NullBufferOrSizeZeroConsumesTheLine)
{
    ASSERT_NE(Open("one\ntwo\nthree\n"), nullptr);
    EXPECT_EQ(MU_fGetNextLine(stream_, 0, nullptr, 100), 1);
    char untouched[] = "keep";
    EXPECT_EQ(MU_fGetNextLine(stream_, 0, untouched, 0), 1);
    EXPECT_STREQ(untouched, "keep");
    EXPECT_EQ(ReadAll(), Lines{"three"});
}

TEST_F(FileReader, LimitStopsAtLinesStartingAfterIt)
{
    // The second line starts at offset 10 in the first file, 11 in the second.
    ASSERT_NE(Open("123456789\nstarts at 10\n"), nullptr);
    EXPECT_EQ(ReadAll(10), (Lines{"123456789", "starts at 10"}));
    ASSERT_NE(Open("1234567890\nstarts at 11\n"), nullptr);
    std::vector<char> buffer(64);
    EXPECT_EQ(MU_fGetNextLine(stream_, 10, buffer.data(), buffer.size()), 1);
    std::strcpy(buffer.data(), "untouched");
    EXPECT_EQ(MU_fGetNextLine(stream_, 10, buffer.data(), buffer.size()), 0);
    EXPECT_STREQ(buffer.data(), "untouched");
    // Skipped lines count: a comment carries the reader past the limit.
    ASSERT_NE(Open("; comment line\nvalue\n"), nullptr);
    EXPECT_EQ(ReadAll(10), Lines{});
    ASSERT_NE(Open("a line running far past the limit\nnext\n"), nullptr);
    EXPECT_EQ(ReadAll(5), Lines{"a line running far past the limit"});
}

TEST_F(FileReader, KeysMatchTheStartIgnoringCase)
{
    ASSERT_NE(Open("; Theme commented\nOther 1\ntheme blue\nTHEMES x\n"), nullptr);
    EXPECT_EQ(ReadAll(0, "Theme"), (Lines{"theme blue", "THEMES x"}));
    ASSERT_NE(Open("fo\nfoo\n  FOOBAR = 1\nbar foo\n"), nullptr);
    EXPECT_EQ(ReadAll(0, "Foo"), (Lines{"foo", "FOOBAR = 1"}));
    ASSERT_NE(Open("a\n;b\nc\n"), nullptr);
    EXPECT_EQ(ReadAll(0, ""), (Lines{"a", "c"})); // an empty key matches every line
    ASSERT_NE(Open("\xC4hnlich\n\xE4hnlich\n"), nullptr);
    EXPECT_EQ(ReadAll(0, "\xE4"), Lines{"\xE4hnlich"}); // only A to Z fold
}

TEST_F(FileReader, FindSetPos)
{
    const std::string text = "; c\nalpha 1\nbeta 2\n\ngamma 3\n";
    ASSERT_NE(Open(text), nullptr);
    EXPECT_EQ(MU_fFindSetPos(stream_, "BETA"), 19);
    EXPECT_EQ(ReadAll(), Lines{"gamma 3"});
    EXPECT_EQ(MU_fSetPos(stream_, 0, 0), 0);
    EXPECT_EQ(MU_fFindSetPos(stream_, "delta"), static_cast<int>(text.size()));
    EXPECT_EQ(MU_fSetPos(stream_, 0, 0), 0);
    EXPECT_EQ(MU_fFindSetPos(stream_, nullptr), 12); // after the next significant line
    EXPECT_EQ(MU_fFindSetPos(nullptr, "x"), -1);
}

TEST_F(FileReader, LongLinesArriveInPieces)
{
    ASSERT_NE(Open(std::string(5000, 'x') + "\nend\n"), nullptr);
    EXPECT_EQ(ReadAll(), (Lines{std::string(4095, 'x'), std::string(905, 'x'), "end"}));
}

TEST_F(FileReader, EndOfFileStaysUntilSetPos)
{
    ASSERT_NE(Open("only\n"), nullptr);
    EXPECT_EQ(ReadAll(), Lines{"only"});
    // Appending behind the reader's back does not revive it.
    std::ofstream(path_, std::ios::binary | std::ios::app) << "more\n";
    EXPECT_EQ(MU_fGetNextLine(stream_, 0, nullptr, 0), 0);
    EXPECT_EQ(MU_fSetPos(stream_, 0, 1), 5);
    EXPECT_EQ(ReadAll(), Lines{"more"});
}

TEST_F(FileReader, SetPosAndGetPos)
{
    ASSERT_NE(Open("0123456789\n"), nullptr);
    EXPECT_EQ(MU_fSetPos(stream_, 4, 0), 4);
    EXPECT_EQ(MU_fSetPos(stream_, 3, 1), 7);
    EXPECT_EQ(MU_fSetPos(stream_, -2, 1), 5);
    EXPECT_EQ(MU_fGetPos(stream_), 5);
    EXPECT_EQ(MU_fSetPos(stream_, -1, 0), -1); // before the start
    EXPECT_EQ(ReadAll(), Lines{"56789"});
}

TEST_F(FileReader, FailedSetPosLeavesTheStreamWhereItWas)
{
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i) + " of a file far longer than the runtime's read buffer\n";
    for (const auto &[offset, fromCurrent] : {std::pair{-10, 0}, std::pair{-100, 1}, std::pair{INT_MIN, 1}}) {
        ASSERT_NE(Open(text), nullptr);
        std::vector<char> buffer(128);
        ASSERT_EQ(MU_fGetNextLine(stream_, 0, buffer.data(), buffer.size()), 1);
        const int position = MU_fGetPos(stream_);
        EXPECT_EQ(MU_fSetPos(stream_, offset, fromCurrent), -1) << offset;
        EXPECT_EQ(MU_fGetPos(stream_), position);
        ASSERT_EQ(MU_fGetNextLine(stream_, 0, buffer.data(), buffer.size()), 1);
        EXPECT_STREQ(buffer.data(), "line 1 of a file far longer than the runtime's read buffer") << offset;
    }
}

TEST_F(FileReader, NullStreamsAndBadPaths)
{
    char buffer[] = "untouched";
    EXPECT_EQ(MU_fGetNextLine(nullptr, 0, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(MU_fGetLine(nullptr, 0, buffer, "k", sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(MU_fGetPos(nullptr), -1);
    EXPECT_EQ(MU_fSetPos(nullptr, 0, 0), -1);
    MU_fClose(nullptr);
    EXPECT_EQ(MU_fOpen(nullptr), nullptr);
    EXPECT_EQ(MU_fOpen(""), nullptr);
    EXPECT_EQ(MU_fOpen("no_such_file.rc"), nullptr);
}

} // namespace
