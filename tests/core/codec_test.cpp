#include "core/codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace std::string_literals;

std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    return s;
}

struct PemEncodeCase {
    const char* name;
    std::string der;
    std::string label;
    std::string expected;
};

TEST(Pem, EncodeWrapsAt64AndEndsWithoutLineBreak)
{
    const std::string line64(64, 'A');
    const PemEncodeCase cases[] = {
        {"empty", "", "X", "-----BEGIN X-----\n-----END X-----"},
        {"short", "abc", "CERTIFICATE REQUEST",
         "-----BEGIN CERTIFICATE REQUEST-----\nYWJj\n-----END CERTIFICATE REQUEST-----"},
        // 48 bytes are exactly one 64-character line: the break after it is the last one.
        {"one full line", std::string(48, '\0'), "X", "-----BEGIN X-----\n" + line64 + "\n-----END X-----"},
        {"one line and a bit", std::string(49, '\0'), "X",
         "-----BEGIN X-----\n" + line64 + "\nAA==\n-----END X-----"},
        {"two full lines", std::string(96, '\0'), "X",
         "-----BEGIN X-----\n" + line64 + "\n" + line64 + "\n-----END X-----"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pemencode(c.der, c.label), c.expected) << c.name;
}

TEST(Pem, DecodeAcceptsArmourAndBareBase64)
{
    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"bare with line break", "YWJj\nYWJj", "abcabc"},
        {"bare with spaces and tabs", " YW\tJj \r\n", "abc"},
        {"armour", "-----BEGIN X-----\nYWJj\n-----END X-----", "abc"},
        {"armour with CRLF and trailing lines", "-----BEGIN X-----\r\nYWJj\r\n-----END X-----\r\n\r\n", "abc"},
        {"armour on one line", "-----BEGIN X-----YWJj-----END X-----", "abc"},
        {"text before the armour stays", "YWJj-----BEGIN X-----\nYWJj\n-----END X-----", "abcabc"},
        {"every END line goes", "-----BEGIN X-----\nYWJj\n-----END X-----\nYWJj\n-----END X-----", "abcabc"},
        {"dangling dashes trimmed", "YWJj---", "abc"},
        {"empty", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ICodec::pemdecode(c.text), c.expected) << c.name;
}

TEST(Pem, RoundTripsEveryLength)
{
    std::mt19937 rng(1234);
    for (std::size_t n = 0; n <= 200; ++n) {
        std::string data(n, '\0');
        for (auto& ch : data)
            ch = static_cast<char>(rng() & 0xFF);
        const std::string bare = ICodec::encode(data);
        ASSERT_EQ(ICodec::decode(bare), data) << n;
        ASSERT_EQ(ICodec::pemdecode(pemencode(data, "CERTIFICATE")), data) << n;
        ASSERT_EQ(ICodec::pemdecode(bare), data) << n;
        std::string broken = bare;
        for (std::size_t pos = 60; pos < broken.size(); pos += 61)
            broken.insert(pos, 1, '\n');
        ASSERT_EQ(ICodec::pemdecode(broken), data) << n;
    }
    EXPECT_EQ(ICodec::pemdecode(pemencode(pattern(1000), "X")), pattern(1000));
}

TEST(Utf8, DecodesWellFormedText)
{
    const struct {
        std::string utf8;
        std::u32string expected;
    } cases[] = {
        {"", U""},
        {"A\0B"s, U"A\0B"s},
        {"\xEF\xBB\xBF" "A", U"\uFEFFA"},            // the byte-order mark stays
        {"\xC3\xA9\xE4\xB8\xAD", U"\u00E9\u4E2D"},
        {"\xF0\x9F\x98\x80", U"\U0001F600"},
        {"\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
        {"\xEE\x80\x80", U"\uE000"},
    };
    for (const auto& c : cases) {
        const auto got = ICodec::utf82unicode(c.utf8);
        ASSERT_TRUE(got.has_value()) << c.utf8;
        EXPECT_EQ(*got, c.expected) << c.utf8;
    }
}

TEST(Utf8, RejectsMalformedText)
{
    const char* cases[] = {
        "\x80",                 // stray continuation byte
        "A\xC3",                // truncated at the end
        "\xE4\xB8" "A",         // truncated before the next character
        "\xC3\x28",             // bad continuation
        "\xC0\x80",             // overlong NUL
        "\xE0\x80\xAF",         // overlong '/'
        "\xF0\x8F\xBF\xBF",     // overlong U+FFFF
        "\xED\xA0\x80",         // surrogate U+D800
        "\xF4\x90\x80\x80",     // beyond U+10FFFF
        "\xF8\x88\x80\x80\x80", // five-byte form
        "\xFF",
    };
    for (const char* c : cases)
        EXPECT_FALSE(ICodec::utf82unicode(c).has_value()) << testing::PrintToString(std::string(c));
}

} // namespace
