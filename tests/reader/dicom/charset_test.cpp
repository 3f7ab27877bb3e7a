// Every Defined Term of Specific Character Set decoded to UTF-8 and to the
// record's ASCII; malformed values and bytes keep ASCII, read the rest as
// "_" and warn.
#include "reader/dicom/charset.h"

#include <gtest/gtest.h>

#include "tests/reader/dicom/charset_cases.h"

namespace trevik::dicom {
namespace {

TEST(DicomCharsets, EveryDefinedTermDecodesAndAMalformedValueWarns) {
    for (const test::CharsetCase& c : test::charsetCases()) {
        const TextDecoder decoder{std::string_view(c.declared)};
        if (*c.utf8) {
            EXPECT_EQ(decoder.utf8(c.name, true), c.utf8) << c.declared;
        }
        EXPECT_EQ(decoder.name(c.name), c.ascii) << c.declared;
        EXPECT_EQ(decoder.warnings().empty(), *c.utf8 != 0) << c.declared;
        EXPECT_EQ(decoder.name("DOE^JOHN"), "DOE^JOHN") << c.declared;
    }
}

TEST(DicomCharsets, BytesNoSetDecodesAreOneUnderscoreEachWithAWarning) {
    const struct {
        const char* declared;
        std::string_view value;
        const char* ascii;
    } cases[] = {
        {"\\ISO 2022 IR 87", "\x1B$B\x7F\x21\x1B(B^A", "__^A"},       // no JIS X 0208 character
        {"\\ISO 2022 IR 87", "A\x1B$Z\x21\x21^B", "A_^B"},             // an unknown escape sequence: one per run
        {"\\ISO 2022 IR 87", "A\x1B$", "A"},                           // an escape sequence cut short
        {"ISO_IR 192", "a\xFF" "b\xE5\xB1", "a_b__"},                  // no UTF-8
        {"", "M\xFC\xFCller", "M_ller"},                               // beyond ASCII, undeclared: one per run
        {"ISO_IR 13", "\xE0\xD4", "_YA"},                              // beyond the katakana
    };
    for (const auto& c : cases) {
        const TextDecoder decoder{std::string_view(c.declared)};
        EXPECT_EQ(decoder.name(c.value), c.ascii) << c.ascii;
        EXPECT_FALSE(decoder.warnings().empty()) << c.ascii;
    }
}

}  // namespace
}  // namespace trevik::dicom
