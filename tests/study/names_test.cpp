// Names and identifiers as ASCII a clinic can read: the group taken, kana
// romanised as typed, Latin letters folded, everything else "_" each.
#include "study/names.h"

#include <gtest/gtest.h>

namespace trevik {
namespace {

TEST(ReadableNames, TheGroupTakenAndWhatRemainsBeyondAscii) {
    EXPECT_EQ(readableName("Yamada^Tarou=\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E"), "Yamada^Tarou");
    // An empty alphabetic group: the phonetic group's kana.
    EXPECT_EQ(readableName("=\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E="
                           "\xE3\x82\x84\xE3\x81\xBE\xE3\x81\xA0^\xE3\x81\x9F\xE3\x82\x8D\xE3\x81\x86"),
              "YAMADA^TAROU");
    EXPECT_EQ(readableName("=\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E"), "__^__");  // kanji alone
    // Half-width katakana with their voicing marks.
    EXPECT_EQ(readableName("\xEF\xBE\x94\xEF\xBE\x8F\xEF\xBE\x80\xEF\xBE\x9E^\xEF\xBE\x80\xEF\xBE\x9B\xEF\xBD\xB3"),
              "YAMADA^TAROU");
    // Latin letters keep their folding, even with kana in the phonetic group.
    EXPECT_EQ(readableName("M\xC3\xBCller^Ren\xC3\xA9=^^^=\xE3\x83\x9F\xE3\x83\xA5\xE3\x83\xA9\xE3\x83\xBC"), "Muller^Rene");
    // Kanji and kana in the alphabetic group; trailing empty components.
    EXPECT_EQ(readableName("\xE5\xB1\xB1\xE7\x94\xB0^\xE3\x81\x9F\xE3\x82\x8D\xE3\x81\x86^^"), "__^TAROU");
    EXPECT_EQ(readableName(""), "");
}

TEST(ReadableNames, KanaAsAJapaneseKeyboardTypesThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"\xE3\x83\x8F\xE3\x83\x83\xE3\x83\x88\xE3\x83\xAA", "HATTORI"},  // small tsu doubles
        {"\xE3\x82\xB5\xE3\x83\x88\xE3\x83\xBC", "SATOO"},                // the long mark repeats
        {"\xE3\x82\xB1\xE3\x83\xB3\xE3\x82\xA4\xE3\x83\x81", "KENITI"},   // n, chi
        {"\xE3\x82\xAD\xE3\x83\xA3", "KYA"},
        {"\xE3\x82\xB7\xE3\x83\xA3", "SYA"},
        {"\xE3\x82\xB8\xE3\x83\xA3", "ZYA"},
        {"\xE3\x81\x97\xE3\x82\x87\xE3\x81\x86\xE3\x81\xB8\xE3\x81\x84", "SYOUHEI"},  // hiragana
        {"\xE3\x83\x95\xE3\x82\xA1", "FA"},
        {"\xE3\x83\x83", "XTU"},
        {"\xEF\xBE\x8E\xEF\xBE\x9F\xEF\xBD\xB0\xEF\xBE\x99", "POORU"},  // half-width semi-voiced, long mark
    };
    for (const auto& [kana, typed] : cases) EXPECT_EQ(romanisedAscii(kana), typed) << typed;
}

TEST(ReadableNames, IdentifiersFoldAndBrokenUtf8IsOneUnderscorePerByte) {
    EXPECT_EQ(readableIdentifier("\xE5\xB1\xB1-1 \xC3\x85"), "_-1 A");
    EXPECT_EQ(readableIdentifier("\xEF\xBC\xA1\xEF\xBC\x91"), "A1");  // full-width forms
    // An overlong form smuggles no zero byte or delimiter in.
    EXPECT_EQ(readableIdentifier(std::string("a\xC0\x80z\xC1\x9E\xFF", 7)), "a__z___");
}

}  // namespace
}  // namespace trevik
