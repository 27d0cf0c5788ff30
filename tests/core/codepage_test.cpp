#include "core/Codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

const std::string kZhongWen = "\xE4\xB8\xAD\xE6\x96\x87";   // U+4E2D U+6587
const std::string kGrin = "\xF0\x9F\x98\x80";               // U+1F600

class CodePageTest : public testing::Test {
protected:
    void TearDown() override { CodePage::Set(65001); }
};

TEST_F(CodePageTest, StartsAsUtf8)
{
    EXPECT_EQ(CodePage::g_nCodePage, 65001);
    EXPECT_EQ(CodePage::GetTranslate(kZhongWen), kZhongWen);
}

TEST_F(CodePageTest, TranslatesByCodePage)
{
    const struct {
        int codepage;
        std::string utf8;
        std::string expected;
    } cases[] = {
        {0, "A", "A\0"s},
        {0, kZhongWen, "\x2D\x4E\x87\x65"s},
        {-7, "A" + kGrin, "A\0\x00\xF6"s},   // above U+FFFF only the low 16 bits remain
        {0, "\xEF\xBB\xBF", "\xFF\xFE"},
        {0, "", ""},
        {0, "\xC3\x28", ""},                // not UTF-8: nothing, never half a text
        {0, "ok\xED\xA0\x80", ""},
        {65001, kZhongWen, kZhongWen},
        {65001, "\xC3\x28", "\xC3\x28"},
        {936, kZhongWen, kZhongWen},         // only 963 selects GB2312
        {12345, "a\0b"s, "a\0b"s},
        {963, kZhongWen, "\xD6\xD0\xCE\xC4"},
        {963, "abc", "abc"},
        {963, "", ""},
        {963, kGrin, ""},                    // no GB2312 mapping
        {963, "\xC3\x28", ""},
    };
    for (const auto& c : cases) {
        CodePage::Set(c.codepage);
        EXPECT_EQ(CodePage::g_nCodePage, c.codepage);
        EXPECT_EQ(CodePage::GetTranslate(c.utf8), c.expected)
            << c.codepage << " " << testing::PrintToString(c.utf8);
    }
}

TEST_F(CodePageTest, Gb2312StopsAt4095Bytes)
{
    CodePage::Set(963);
    EXPECT_EQ(CodePage::GetTranslate(std::string(4095, 'a')), std::string(4095, 'a'));
    EXPECT_EQ(CodePage::GetTranslate(std::string(4096, 'a')), "");

    std::string zhong;
    std::string gb;
    for (int i = 0; i < 2047; ++i) {
        zhong += "\xE4\xB8\xAD";
        gb += "\xD6\xD0";
    }
    EXPECT_EQ(CodePage::GetTranslate(zhong + "a"), gb + "a");   // 4095 bytes
    EXPECT_EQ(CodePage::GetTranslate(zhong + "\xE4\xB8\xAD"), "");   // 4096 bytes
}

TEST(CodeConvert, ClearsTheBufferAndCountsBytes)
{
    char out[16];
    std::fill(std::begin(out), std::end(out), 'x');
    ASSERT_EQ(u2g("\xE4\xB8\xAD" "b", 4, out, sizeof out), 3);
    EXPECT_EQ(std::string(out, 3), "\xD6\xD0" "b");
    EXPECT_EQ(std::string(out + 3, sizeof out - 3), std::string(sizeof out - 3, '\0'));
}

TEST(CodeConvert, ReportsFailures)
{
    char out[8];
    EXPECT_EQ(code_convert("utf-8", "no-such-charset", "a", 1, out, sizeof out), -1);
    EXPECT_EQ(u2g("abcdefghi", 9, out, sizeof out), -1);             // does not fit
    EXPECT_EQ(u2g("\xE4\xB8", 2, out, sizeof out), -1);              // incomplete
    EXPECT_EQ(u2g("\xF0\x9F\x98\x80", 4, out, sizeof out), -1);      // unmapped
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '\0'));
    EXPECT_EQ(u2g("", 0, out, sizeof out), 0);
}

} // namespace
