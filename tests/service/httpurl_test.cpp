#include "service/httpurl.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    std::string in;
    std::string out;
};

TEST(HttpUrl, DecodeKeepsItsOddRules)
{
    const Case cases[] = {
        {"%41%42", "AB"},
        {"%41%4", "A4"},            // a short escape drops its "%"
        {"%zz", "zz"},
        {"50%", "50%"},             // a final "%" stays
        {"%2b", "2b"},              // lower-case hex is not an escape
        {"%2B", "+"},
        {"a+b", "a b"},
        {"%7B%7D", "{}"},
        {"%%41", "A"},              // "%%" is not an escape: the first "%" goes
        {"%0A", "\n"},
        {std::string("ab\0cd", 5), "ab"},   // stops at a zero byte
        {"%00x", std::string("\0x", 2)},
        {"", ""},
    };
    for (const auto& c : cases) {
        CHttpUrl url;
        EXPECT_EQ(url.DecodeUrl(c.in), c.out) << c.in;
    }
}

TEST(HttpUrl, EncodeWritesUpperHexWithoutLeadingZero)
{
    const Case cases[] = {
        {"a b", "a+b"},
        {"A-z_0.9*", "A-z_0.9*"},
        {"\n", "%A"},
        {"{}", "%7B%7D"},
        {"\xff", "%FF"},
        {"+", "%2B"},
        {std::string("a\0b", 3), "a"},
    };
    for (const auto& c : cases) {
        CHttpUrl url;
        EXPECT_EQ(url.EncodeUrl(c.in), c.out) << c.in;
    }
}

TEST(HttpUrl, DecodeUndoesEncodeForBytesFromSixteenUp)
{
    std::string all;
    for (int b = 16; b < 256; ++b)
        all += static_cast<char>(b);
    CHttpUrl url;
    EXPECT_EQ(url.DecodeUrl(url.EncodeUrl(all)), all);
}

} // namespace
