// Reads back the text header of a Gated SPECT data file, for tests that
// check what the writer produced without trusting the writer's own code.
//
// The header is the line "qubrix", then "key = value;" lines in a fixed key
// order (height, weight, tracer and comment may be missing), the last one
// "order = little;", every line ending in CR LF, then the separator line
// 0x0C 0x0D 0x0A. No value holds ";", a control byte or 0x7F; the values of
// date, time and sex may hold blanks and bytes from 0x80 up.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trevik::test {

struct GsdLine {
    std::string key;
    std::string value;  // as written
};

struct GsdHeader {
    std::vector<GsdLine> lines;  // every line after "qubrix", in file order
    std::size_t size = 0;        // header and separator bytes: the offset of the first frame

    // The value of `key`, or nullptr when the header has no such line.
    const std::string* find(std::string_view key) const;
};

// Parses the header at the start of `file`; empty when it does not have
// the format's form.
std::optional<GsdHeader> parseGsdHeader(std::string_view file);

// A value written as "%d": an optional minus sign and digits without
// leading zeros. Empty for anything else.
std::optional<long long> parseGsdInteger(std::string_view value);

// A value written as "%<width>.<precision>f": the number filled on the left
// with spaces up to `width` characters (a longer number without fill), an
// optional minus sign, digits, a full stop and exactly `precision` digits;
// or "inf" / "nan" with an optional minus sign. Returns the number without
// its fill; empty for anything else.
std::optional<std::string> parseGsdFixed(std::string_view value, int precision, int width);

// The reference text of `value` with `precision` digits after a full stop,
// no fill, independent of the current locale.
std::string formatGsdFixed(double value, int precision);

// What the writer makes of a free text: at most 79 bytes, every byte
// outside 0x21..0x7E, and ";", replaced by an underscore.
std::string sanitizedGsdText(std::string_view text);

// `text` with control bytes and bytes from 0x7F up shown as \xNN, for
// failure messages.
std::string printableBytes(std::string_view text);

}  // namespace trevik::test
