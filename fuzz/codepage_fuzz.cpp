// CodePage::GetTranslate decodes user text from requests as UTF-8, to UTF-16LE
// (code page 0) and to GB2312 (963) in a fixed buffer.
#include "check.h"
#include "core/Codepage.h"
#include "core/codec.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = asText(data, size);
    const auto points = ICodec::utf82unicode(input);

    CodePage::Set(0);
    const std::string utf16 = CodePage::GetTranslate(input);
    if (!points) {
        FUZZ_CHECK(utf16.empty());
    } else {
        FUZZ_CHECK(utf16.size() == points->size() * 2);
        for (std::size_t i = 0; i < points->size(); ++i) {
            const char32_t cp = (*points)[i];
            FUZZ_CHECK(cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF));
            FUZZ_CHECK(static_cast<unsigned char>(utf16[2 * i]) == (cp & 0xFF));
            FUZZ_CHECK(static_cast<unsigned char>(utf16[2 * i + 1]) == ((cp >> 8) & 0xFF));
        }
    }

    CodePage::Set(963);
    const std::string gb = CodePage::GetTranslate(input);
    FUZZ_CHECK(gb.size() <= 4095);
    // Only well-formed text has a GB2312 form.
    FUZZ_CHECK(gb.empty() || points.has_value());

    CodePage::Set(65001);
    FUZZ_CHECK(CodePage::GetTranslate(input) == input);
    return 0;
}
