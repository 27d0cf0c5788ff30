#include "base64/Base64.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct Vector {
    std::string plain;
    std::string encoded;
};

TEST(Base64, EncodesKnownVectors)
{
    const Vector cases[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {std::string("\x00\xff\x10", 3), "AP8Q"},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64::encode64(c.plain), c.encoded) << c.encoded;
        EXPECT_EQ(Base64::decode64(c.encoded), c.plain) << c.encoded;
    }
}

TEST(Base64, DecoderDoesNotValidate)
{
    const Vector cases[] = {
        // The first '=' in the third place ends decoding, whatever follows.
        {"a", "YQ==YWJj"},
        // A line feed is a byte outside the alphabet: it decodes as 0xFF.
        {std::string("abc\xfd\x85\x89\x8f", 7), "YWJj\nYWJj"},
        // A final group of one character still yields one byte.
        {std::string("\x7f", 1), "f"},
        // A final group of three characters yields two bytes.
        {"ab", "YWI"},
        // '=' in the fourth place stops after two bytes.
        {"ab", "YWI=YWJj"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Base64::decode64(c.encoded), c.plain) << c.encoded;
}

TEST(Base64, RoundTripsRandomLengths)
{
    std::mt19937 rng(20261211);
    for (std::size_t len = 0; len <= 200; ++len) {
        std::string data(len, '\0');
        for (auto& ch : data)
            ch = static_cast<char>(rng());
        const std::string text = Base64::encode64(data);
        ASSERT_EQ(text.size() % 4, 0u);
        ASSERT_EQ(Base64::decode64(text), data) << "length " << len;
    }
}

TEST(Base64, TableMapsAlphabetAndNothingElse)
{
    int mapped = 0;
    for (int c = 0; c < 256; ++c) {
        if (Base64::table64[c] != Base64::np) {
            ++mapped;
            EXPECT_EQ(Base64::alphabet64[Base64::table64[c]], static_cast<char>(c));
        }
    }
    EXPECT_EQ(mapped, 64);
    EXPECT_EQ(Base64::table64['='], Base64::np);
}

} // namespace
