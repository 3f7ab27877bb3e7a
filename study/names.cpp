#include "study/names.h"

#include <cstdint>
#include <vector>

namespace trevik {

namespace {

constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;  // a byte that is no UTF-8

// The base letters of U+00C0..U+017F; "_" where the character is no
// accented Latin letter (ligatures, the multiplication and division signs,
// thorn, sharp s, kra, eng, long s).
constexpr char kLatin[] =
    "AAAAAA_CEEEEIIII"
    "DNOOOOO_OUUUUY__"
    "aaaaaa_ceeeeiiii"
    "dnooooo_ouuuuy_y"
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi__JjKk_LlLlLlLlLlNnNnNn___OoOoOo__RrRrRrSsSsSsSsTtTtTt"
    "UuUuUuUuUuUuWwYyYZzZzZz_";
static_assert(sizeof kLatin - 1 == 0x180 - 0xC0);

// Katakana U+30A1..U+30F6 as typed; the small kana in lower case (their
// spelling when they stand alone, upper-cased).
constexpr const char* kKana[] = {
    "xa", "A",  "xi", "I",  "xu", "U",   "xe", "E",  "xo", "O",  "KA", "GA", "KI",  "GI", "KU", "GU",  "KE", "GE",
    "KO", "GO", "SA", "ZA", "SI", "ZI",  "SU", "ZU", "SE", "ZE", "SO", "ZO", "TA",  "DA", "TI", "DI",  "xtu", "TU",
    "DU", "TE", "DE", "TO", "DO", "NA",  "NI", "NU", "NE", "NO", "HA", "BA", "PA",  "HI", "BI", "PI",  "HU", "BU",
    "PU", "HE", "BE", "PE", "HO", "BO",  "PO", "MA", "MI", "MU", "ME", "MO", "xya", "YA", "xyu", "YU", "xyo", "YO",
    "RA", "RI", "RU", "RE", "RO", "xwa", "WA", "WI", "WE", "WO", "N",  "VU", "xka", "xke"};
constexpr std::uint32_t kFirstKana = 0x30A1, kLastKana = 0x30F6, kLongVowel = 0x30FC;
static_assert(sizeof kKana / sizeof kKana[0] == kLastKana - kFirstKana + 1);

// Half-width katakana U+FF66..U+FF9D as their full-width kana.
constexpr std::uint16_t kHalfWidth[] = {
    0x30F2, 0x30A1, 0x30A3, 0x30A5, 0x30A7, 0x30A9, 0x30E3, 0x30E5, 0x30E7, 0x30C3, 0x30FC, 0x30A2, 0x30A4, 0x30A6,
    0x30A8, 0x30AA, 0x30AB, 0x30AD, 0x30AF, 0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF, 0x30C1,
    0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC, 0x30CD, 0x30CE, 0x30CF, 0x30D2, 0x30D5, 0x30D8, 0x30DB, 0x30DE,
    0x30DF, 0x30E0, 0x30E1, 0x30E2, 0x30E4, 0x30E6, 0x30E8, 0x30E9, 0x30EA, 0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3};
static_assert(sizeof kHalfWidth / sizeof kHalfWidth[0] == 0xFF9D - 0xFF66 + 1);

// A small vowel after these kana makes one syllable: the consonant written
// here and the small vowel's vowel (fu + small a: FA).
struct Combination {
    const char* kana;
    const char* consonant;
};
constexpr Combination kBeforeSmallVowel[] = {{"HU", "F"},  {"VU", "V"},  {"U", "W"},  {"TE", "TH"}, {"DE", "DH"},
                                             {"TI", "TY"}, {"SI", "SY"}, {"ZI", "ZY"}, {"TU", "TS"}};

// The code points of `utf8`; kInvalid for each byte that starts no valid,
// shortest sequence.
std::vector<std::uint32_t> codePoints(std::string_view utf8) {
    std::vector<std::uint32_t> out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        std::uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        bool valid = length > 0 && i + static_cast<std::size_t>(length) <= utf8.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3Fu);
        }
        // Overlong forms would smuggle ASCII (a zero byte, a delimiter) in.
        constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (code < kLeast[length] || code > 0x10FFFF)) valid = false;
        out.push_back(valid ? code : kInvalid);
        i += valid ? static_cast<std::size_t>(length) : 1;
    }
    return out;
}

// A character that is not kana as ASCII; 0 when there is none.
char foldedOf(std::uint32_t code) {
    if (code < 0x80) return static_cast<char>(code);
    if (code >= 0xC0 && code < 0x180) return kLatin[code - 0xC0] == '_' ? 0 : kLatin[code - 0xC0];
    if (code >= 0xFF01 && code <= 0xFF5E) return static_cast<char>(code - 0xFEE0);  // full-width ASCII
    if (code == 0x3000) return ' ';                                                   // ideographic space
    return 0;
}

// Hiragana, half-width katakana and the voicing marks as full-width
// katakana: the kana the table spells.
std::vector<std::uint32_t> asKatakana(const std::vector<std::uint32_t>& in) {
    std::vector<std::uint32_t> out;
    out.reserve(in.size());
    for (std::uint32_t c : in) {
        if (c >= 0x3041 && c <= 0x3096) c += 0x60;
        else if (c >= 0xFF66 && c <= 0xFF9D) c = kHalfWidth[c - 0xFF66];
        const bool voiced = c == 0x3099 || c == 0x309B || c == 0xFF9E;
        const bool semiVoiced = c == 0x309A || c == 0x309C || c == 0xFF9F;
        if ((voiced || semiVoiced) && !out.empty()) {
            std::uint32_t& last = out.back();
            const bool hRow = last >= 0x30CF && last <= 0x30DB && (last - 0x30CF) % 3 == 0;
            // ka..chi are odd, tsu..to even; their voiced kana follow them.
            const bool kToT = last >= 0x30AB && last <= 0x30C8 && last != 0x30C3;
            const bool voicable = (kToT && (last <= 0x30C2) == (last % 2 == 1)) || hRow;
            if (voiced && last == 0x30A6) last = 0x30F4;  // u: vu
            else if (voiced && voicable) last += 1;
            else if (semiVoiced && hRow) last += 2;
            else out.push_back(kInvalid);
            continue;
        }
        out.push_back(c);
    }
    return out;
}

bool isKana(std::uint32_t c) { return c >= kFirstKana && c <= kLastKana; }
bool isSmall(std::uint32_t c) { return isKana(c) && kKana[c - kFirstKana][0] == 'x'; }
bool isVowel(char c) { return c == 'A' || c == 'I' || c == 'U' || c == 'E' || c == 'O'; }

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The syllable of the kana at `i` (with a small kana after it that combines),
// advancing `i` past what it spells.
std::string syllable(const std::vector<std::uint32_t>& text, std::size_t& i) {
    std::string s = kKana[text[i] - kFirstKana];
    const std::uint32_t next = i + 1 < text.size() ? text[i + 1] : 0;
    ++i;
    if (s[0] == 'x' || !isSmall(next)) return upper(s);
    const std::string small = kKana[next - kFirstKana];  // "xya", "xa", ...
    if ((small == "xya" || small == "xyu" || small == "xyo") && s.size() == 2 && s[1] == 'I') {
        ++i;
        return s.substr(0, 1) + "Y" + upper(small.substr(2));
    }
    if (small.size() == 2)
        for (const Combination& c : kBeforeSmallVowel)
            if (s == c.kana) {
                ++i;
                return c.consonant + upper(small.substr(1));
            }
    return s;
}

std::string romanised(const std::vector<std::uint32_t>& text) {
    std::string out;
    bool doubled = false;  // a small tsu waits for the next consonant
    for (std::size_t i = 0; i < text.size();) {
        const std::uint32_t c = text[i];
        if (isKana(c) && std::string_view(kKana[c - kFirstKana]) == "xtu") {
            if (doubled) out += "XTU";
            doubled = true;
            ++i;
            continue;
        }
        std::string spelled;
        if (isKana(c)) {
            spelled = syllable(text, i);
        } else {
            ++i;
            if (c == kLongVowel) {
                spelled = !out.empty() && isVowel(out.back()) ? std::string(1, out.back()) : "_";
            } else {
                const char folded = foldedOf(c);
                spelled = std::string(1, folded ? folded : '_');
            }
        }
        if (doubled) {
            const bool consonant = isKana(c) && !isVowel(spelled[0]) && spelled != "N";
            out += consonant ? spelled.substr(0, 1) : "XTU";
            doubled = false;
        }
        out += spelled;
    }
    if (doubled) out += "XTU";
    return out;
}

bool holdsKana(const std::vector<std::uint32_t>& text) {
    for (const std::uint32_t c : text)
        if (isKana(c)) return true;
    return false;
}

// The name's groups, split at "=" (a fourth and later are part of the third).
std::vector<std::string_view> groupsOf(std::string_view name) {
    std::vector<std::string_view> groups;
    while (groups.size() < 2) {
        const std::size_t at = name.find('=');
        if (at == std::string_view::npos) break;
        groups.push_back(name.substr(0, at));
        name.remove_prefix(at + 1);
    }
    groups.push_back(name);
    groups.resize(3);
    return groups;
}

std::string tidied(std::string s) {
    while (!s.empty() && (s.back() == '^' || s.back() == ' ')) s.pop_back();
    std::size_t first = 0;
    while (first < s.size() && s[first] == ' ') ++first;
    return s.substr(first);
}

}  // namespace

std::string foldedAscii(std::string_view utf8) {
    std::string out;
    for (const std::uint32_t c : codePoints(utf8)) {
        const char folded = foldedOf(c);
        out += folded ? folded : '_';
    }
    return out;
}

std::string romanisedAscii(std::string_view utf8) { return romanised(asKatakana(codePoints(utf8))); }

std::string readableName(std::string_view utf8) {
    const std::vector<std::string_view> groups = groupsOf(utf8);
    const std::vector<std::uint32_t> alphabetic = asKatakana(codePoints(groups[0]));
    bool latin = true;
    for (const std::uint32_t c : alphabetic) latin = latin && foldedOf(c) != 0;
    if (latin && !tidied(foldedAscii(groups[0])).empty()) return tidied(foldedAscii(groups[0]));
    if (holdsKana(alphabetic)) return tidied(romanised(alphabetic));
    const std::vector<std::uint32_t> phonetic = asKatakana(codePoints(groups[2]));
    if (holdsKana(phonetic)) return tidied(romanised(phonetic));
    for (const std::string_view group : groups)
        if (std::string s = tidied(romanisedAscii(group)); !s.empty()) return s;
    return {};
}

std::string readableIdentifier(std::string_view utf8) { return foldedAscii(utf8); }

}  // namespace trevik
