// The Gated SPECT data file's text header as one table: each key with the
// condition under which its line is written and the form of its value. The
// writer composes the header from the table, and the reader parses with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "study/study.h"

namespace trevik {

// Copies the zero-terminated `source` to `destination` (room for the whole
// text and its terminator) with every byte outside 0x21..0x7E, and ";",
// replaced by an underscore: a free text becomes one token of its line.
void sanitizeText(const char* source, char* destination);

namespace gsd {

// The magic line and the separator line as they stand in the file.
inline constexpr std::string_view kMagic = "qubrix\r\n";
inline constexpr std::string_view kSeparator = "\f\r\n";
// The magic line's word as shown to a reader: the magic without its CR LF.
inline constexpr std::string_view kMagicWord = kMagic.substr(0, kMagic.size() - 2);

// The frames behind the header: every division (at least one) of `frames`
// frames, each 64 x 64 samples, 16-bit little-endian, row after row.
inline constexpr std::size_t kFrameBytes = FrameStore::kFrameSamples * 2;
inline long long divisionsWritten(long long division) { return division >= 1 ? division : 1; }

// The samples of one frame as the file holds it (kFrameBytes bytes).
void decodeFrame(const unsigned char* bytes, std::int16_t* samples);

// How a value is written.
enum class Form : std::uint8_t {
    Token,    // a free text through sanitizeText: bytes 0x21..0x7E but ";"
    Raw,      // a text byte for byte, but control bytes and ";" as "_"
    Fixed4,   // "%8.4f", a full stop whatever the locale
    Fixed10,  // "%16.10f"
    Integer,  // "%d"
    Word,     // a fixed text (the key's `word`)
};

// One line of the header: "key = value;".
struct Key {
    std::string_view key;
    Form form;
    // Whether the line is written for this record (always, when null).
    bool (*written)(const StudyRecord& record);
    // The value to write, appended to `out`: the record's field, or (for a
    // number) the number `number` gives.
    std::string_view (*text)(const StudyRecord& record);
    double (*number)(const StudyFacts& facts);
    std::string_view word;  // Word: the value
};

// The keys in file order, after the magic line.
const std::vector<Key>& keys();

// The header lines and the separator line, exactly as they go into the
// file (every line ending in CR LF).
// The header is made of the study's facts, as the load settled them.
std::string composeHeader(const StudyFacts& facts);

// Appends `value` as "%<width>.<precision>f" would, with a full stop as the
// decimal point; never cut, however long.
void appendFixed(std::string& out, double value, int precision, int width);

// A header as read back.
struct Line {
    std::string_view key;
    std::string value;  // as written
};
struct Header {
    std::vector<Line> lines;  // in file order, after the magic line
    std::size_t size = 0;     // header bytes with the separator: the offset of the first frame
    long long division = 0;
    long long frames = 0;
    // What is wrong, on which line (counted from 1, the magic line being
    // line 1), starting at which byte, with which key.
    enum class Problem : std::uint8_t {
        None,
        NoMagic,       // the file does not start with the magic line
        Missing,       // the line at `at` is not the `key` line
        Unterminated,  // the `key` line does not end in ";" and CR LF
        Malformed,     // the `key` value does not have its key's form
        NoSeparator,   // the line at `at` is not the separator line
    } problem = Problem::None;
    int line = 0;
    std::size_t at = 0;
    std::string_view key;
    std::string value;  // Malformed: the value found

    const std::string* find(std::string_view key) const;
};

// Parses the header at the start of `file` with the key table: every value
// must have the form its key gives, the optional lines may be missing.
Header parseHeader(std::string_view file);

}  // namespace gsd
}  // namespace trevik
