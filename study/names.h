// Names and identifiers as ASCII a clinic can read, from the UTF-8 texts of
// a DICOM object (or any other source that decodes its texts): what the
// Gated SPECT data file and its analysis program can hold. Plain C++.
//
// Kana are romanised kana by kana as a Japanese keyboard types them, in the
// spellings of the typing convention that writes the table row's consonant
// throughout: shi SI, chi TI, tsu TU, fu HU, ji ZI, sha SYA, cha TYA, ja ZYA;
// small tsu doubles the next consonant, the long-vowel mark repeats the
// vowel before it, n is N; a small vowel after fu, vu, u, te, de, chi, shi,
// ji or tsu makes FA, VA, WI, THI, DHI, TYE, SYE, ZYE, TSA, as typed; one
// standing alone is typed with X (XA).
#pragma once

#include <string>
#include <string_view>

namespace trevik {

// `utf8` as ASCII: accented Latin letters become their base letter,
// full-width ASCII forms their ASCII letter, every other character beyond
// ASCII one "_" (one per character; a byte that is no UTF-8 counts as one).
std::string foldedAscii(std::string_view utf8);

// The same with kana romanised in upper case (hiragana, katakana,
// half-width katakana), the ideographic space as a space.
std::string romanisedAscii(std::string_view utf8);

// One person name (groups alphabetic=ideographic=phonetic, components by
// "^") as ASCII: the alphabetic group when it is ASCII or folds to Latin
// letters; otherwise the kana of the alphabetic group, else those of the
// phonetic group, romanised; otherwise the first group that holds anything,
// folded (kanji become "_" each). Trailing empty components and spaces are
// dropped ("SMITH^^^" is "SMITH").
std::string readableName(std::string_view utf8);

// An identifier (Patient ID) as ASCII: folded.
std::string readableIdentifier(std::string_view utf8);

}  // namespace trevik
