// Tokenizer behaviour, table-driven. Runs against the real DLL under Wine and
// against the portable sources natively under the sanitizers.

#include "modutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUntouched[] = "<untouched>";

struct Buffers {
    std::vector<char> a = Fill(), b = Fill();
    static std::vector<char> Fill()
    {
        std::vector<char> v(MU_MAX_TEXT, 'x');
        std::copy(std::begin(kUntouched), std::end(kUntouched), v.begin());
        return v;
    }
};

struct StripCase { const char *input; int result; const char *after; };

TEST(StripWS, Table)
{
    const StripCase cases[] = {
        {"", 0, ""},
        {"   ", 0, "   "},
        {"  abc  ", 1, "abc"},
        {"abc", 1, "abc"},
        {"\t\n\v\f\r a b \r\n", 1, "a b"},
        {"\xA0x\xA0", 1, "\xA0x\xA0"}, // high bytes are never whitespace
        {"\x85", 1, "\x85"},
    };
    for (const auto &c : cases) {
        std::string text = c.input;
        EXPECT_EQ(MU_StripWS(text.data()), c.result) << c.input;
        EXPECT_STREQ(text.c_str(), c.after) << c.input;
    }
    EXPECT_EQ(MU_StripWS(nullptr), 0);
}

TEST(StripWS, WhitespaceIsExactlySixBytes)
{
    for (int b = 1; b < 256; ++b) {
        char text[] = {static_cast<char>(b), 'a', '\0'};
        const bool space = b == ' ' || (b >= 9 && b <= 13);
        ASSERT_EQ(MU_StripWS(text), 1);
        EXPECT_EQ(std::strlen(text) == 1, space) << "byte " << b;
    }
}

struct TokenCase { const char *input; int result; const char *token; const char *rest; };

const TokenCase kTokenCases[] = {
    {"abc", 1, "abc", ""},
    {"  abc def  ghi ", 1, "abc", "def  ghi"},
    {"abc\"def\" x", 1, "abc", "\"def\" x"},
    {"\"quoted text\" rest", 1, "quoted text", "rest"},
    {"'single' rest", 1, "single", "rest"},
    {"\"a 'b' c\" d", 1, "a 'b' c", "d"},
    {"\"\"", 1, "", ""},
    {"\"unterminated text", 1, "unterminated", "text"},
    {"\"unterminated", 1, "unterminated", ""},
    {"\"  padded  \"  rest", 1, "  padded  ", "rest"},
    {"\"abc\"def x", 1, "abc", "def x"},
    {"'mixed\" rest", 1, "mixed\"", "rest"},
    {"\" abc", 1, "", "abc"},
    {"\"ab\"c", 1, "ab", "c"},
    {"\"ab\" ", 1, "ab", ""},
    {"abc'", 1, "abc", "'"},
    {"   ", 0, kUntouched, kUntouched},
    {"", 0, kUntouched, kUntouched},
};

TEST(SimpleToken, Table)
{
    for (const auto &c : kTokenCases) {
        Buffers out;
        EXPECT_EQ(MU_SimpleToken(out.a.data(), out.b.data(), c.input), c.result) << c.input;
        EXPECT_STREQ(out.a.data(), c.token) << c.input;
        EXPECT_STREQ(out.b.data(), c.rest) << c.input;
    }
}

TEST(SimpleToken, RestIsOptional)
{
    for (const auto &c : kTokenCases) {
        Buffers out;
        EXPECT_EQ(MU_SimpleToken(out.a.data(), nullptr, c.input), c.result) << c.input;
        EXPECT_STREQ(out.a.data(), c.token) << c.input;
    }
}

TEST(SimpleToken, RefusesMissingArgumentsAndLongSources)
{
    Buffers out;
    EXPECT_EQ(MU_SimpleToken(nullptr, out.b.data(), "abc"), 0);
    EXPECT_EQ(MU_SimpleToken(out.a.data(), out.b.data(), nullptr), 0);

    std::string longest(4095, 'w');
    EXPECT_EQ(MU_SimpleToken(out.a.data(), out.b.data(), longest.c_str()), 1);
    EXPECT_EQ(std::string(out.a.data()), longest);

    Buffers untouched;
    std::string tooLong(4096, 'w');
    EXPECT_EQ(MU_SimpleToken(untouched.a.data(), untouched.b.data(), tooLong.c_str()), 0);
    EXPECT_STREQ(untouched.a.data(), kUntouched);
    EXPECT_STREQ(untouched.b.data(), kUntouched);
}

TEST(SimpleToken, WalksALineWithOneBuffer)
{
    std::vector<char> line(MU_MAX_TEXT);
    const char text[] = "  one \"two three\" 'four' five\"six\"  ";
    std::copy(std::begin(text), std::end(text), line.begin());

    std::vector<std::string> words;
    std::vector<char> token(MU_MAX_TEXT);
    while (line[0] != '\0' && MU_SimpleToken(token.data(), line.data(), line.data()))
        words.emplace_back(token.data());
    EXPECT_EQ(words, (std::vector<std::string>{"one", "two three", "four", "five", "six"}));
}

TEST(SimpleToken, TokenMayBeTheSourceBuffer)
{
    std::vector<char> line(MU_MAX_TEXT);
    const char text[] = "\"key name\" value";
    std::copy(std::begin(text), std::end(text), line.begin());
    std::vector<char> rest(MU_MAX_TEXT);
    EXPECT_EQ(MU_SimpleToken(line.data(), rest.data(), line.data()), 1);
    EXPECT_STREQ(line.data(), "key name");
    EXPECT_STREQ(rest.data(), "value");
}

struct BreakCase { const char *input; int result; const char *inside; const char *after; };

const BreakCase kBreakCases[] = {
    {"[a] b", 1, "a", "b"},
    {"  x [ inner ] rest ", 1, "inner", "rest"},
    {"[]", 1, "", ""},
    {"[ \t ]  ", 1, "", ""},
    {"[abc", 0, kUntouched, kUntouched},
    {"no brackets", 0, kUntouched, kUntouched},
    {"\"[q]\" [r] s", 1, "r", "s"},
    {"[a \"]\" b] c", 1, "a \"]\" b", "c"},
    {"\"open [x] y", 0, kUntouched, kUntouched},
    {"a \"b\" c [d] e", 1, "d", "e"},
    {"[a [b] c] d", 1, "a [b", "c] d"},
    {"[a][b]", 1, "a", "[b]"},
    {"'[q]' [r] s", 1, "q", "' [r] s"},
    {"[a \"b] c", 0, kUntouched, kUntouched},
    {"\"closed at the end\"", 0, kUntouched, kUntouched},
    {"\"a\"\"b\"[c]", 1, "c", ""},
    {"", 0, kUntouched, kUntouched},
};

TEST(BreakTokens, Table)
{
    for (const auto &c : kBreakCases) {
        Buffers out;
        EXPECT_EQ(MU_BreakTokens(out.a.data(), out.b.data(), c.input), c.result) << c.input;
        EXPECT_STREQ(out.a.data(), c.inside) << c.input;
        EXPECT_STREQ(out.b.data(), c.after) << c.input;
    }
}

TEST(BreakTokens, EitherOutputMayBeTheSource)
{
    for (const auto &c : kBreakCases) {
        if (c.result == 0)
            continue;
        Buffers intoInside, intoAfter;
        std::copy(c.input, c.input + std::strlen(c.input) + 1, intoInside.a.begin());
        std::copy(c.input, c.input + std::strlen(c.input) + 1, intoAfter.b.begin());
        EXPECT_EQ(MU_BreakTokens(intoInside.a.data(), intoInside.b.data(), intoInside.a.data()), 1);
        EXPECT_STREQ(intoInside.a.data(), c.inside) << c.input;
        EXPECT_STREQ(intoInside.b.data(), c.after) << c.input;
        EXPECT_EQ(MU_BreakTokens(intoAfter.a.data(), intoAfter.b.data(), intoAfter.b.data()), 1);
        EXPECT_STREQ(intoAfter.a.data(), c.inside) << c.input;
        EXPECT_STREQ(intoAfter.b.data(), c.after) << c.input;
    }
}

TEST(BreakTokens, RefusesMissingArgumentsAndLongSources)
{
    Buffers out;
    EXPECT_EQ(MU_BreakTokens(nullptr, out.b.data(), "[a]"), 0);
    EXPECT_EQ(MU_BreakTokens(out.a.data(), nullptr, "[a]"), 0);
    EXPECT_EQ(MU_BreakTokens(out.a.data(), out.b.data(), nullptr), 0);
    EXPECT_STREQ(out.a.data(), kUntouched);

    std::string longest = "[" + std::string(4092, 'i') + "]z";
    EXPECT_EQ(MU_BreakTokens(out.a.data(), out.b.data(), longest.c_str()), 1);
    EXPECT_EQ(std::string(out.a.data()), std::string(4092, 'i'));
    EXPECT_STREQ(out.b.data(), "z");

    Buffers untouched;
    std::string tooLong = longest + "z";
    EXPECT_EQ(MU_BreakTokens(untouched.a.data(), untouched.b.data(), tooLong.c_str()), 0);
    EXPECT_STREQ(untouched.a.data(), kUntouched);
    EXPECT_STREQ(untouched.b.data(), kUntouched);
}

} // namespace
