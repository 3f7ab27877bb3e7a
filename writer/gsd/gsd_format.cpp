#include "writer/gsd/gsd_format.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>


namespace trevik::detail {

namespace {

// The text of a fixed-width field up to its terminator, never beyond the field.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
    return {field, ::strnlen(field, N)};
}

// The writer's sanitized copy: at most 79 characters (a longer text is cut),
// through sanitizeText.
constexpr std::size_t kSanitizedSize = 80;

template <std::size_t N>
std::string sanitizedField(const char (&field)[N]) {
    char copy[kSanitizedSize];
    char clean[kSanitizedSize];
    copyText(copy, fieldText(field));
    sanitizeText(copy, clean);
    return clean;
}

// A date, time or sex as written: byte for byte, but every control byte
// (0x00 to 0x1F, 0x7F) turned into an underscore, so that no value can end
// its line, hold the separator or add a line of its own. Spaces and bytes
// from 0x80 up stay.
std::string withoutControlBytes(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) c = '_';
    }
    return out;
}

void appendLine(std::string& out, std::string_view key, std::string_view value) {
    out.append(key).append(" = ").append(value).append(";\n");
}

void appendFixedLine(std::string& out, std::string_view key, double value, int precision, int width) {
    out.append(key).append(" = ");
    appendFixed(out, value, precision, width);
    out.append(";\n");
}

void appendIntegerLine(std::string& out, std::string_view key, long long value) {
    out.append(key).append(" = ");
    appendInteger(out, value);
    out.append(";\n");
}

// The newline rule: every 0x0A becomes 0x0D 0x0A, every other byte stays.
std::string withCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 32);
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

void appendFixed(std::string& out, double value, int precision, int width) {
    // The longest fixed form of a double: sign, 309 integer digits, point,
    // precision digits.
    char text[320 + 64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, precision);
    const std::size_t length = error == std::errc{} ? static_cast<std::size_t>(end - text) : 0;
    if (length < static_cast<std::size_t>(width)) out.append(static_cast<std::size_t>(width) - length, ' ');
    out.append(text, length);
}

void appendInteger(std::string& out, long long value) {
    char text[24];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    out.append(text, error == std::errc{} ? static_cast<std::size_t>(end - text) : 0);
}

std::string composeHeader(const StudyRecord& record) {
    std::string text = "qubrix\n";
    appendLine(text, "id", sanitizedField(record.id));
    appendLine(text, "name", sanitizedField(record.name));
    appendLine(text, "date", withoutControlBytes(fieldText(record.date)));
    appendLine(text, "time", withoutControlBytes(fieldText(record.time)));
    appendLine(text, "sex", withoutControlBytes(fieldText(record.sex)));
    if (record.height > 30.0f) appendFixedLine(text, "height", static_cast<double>(record.height), 4, 8);
    if (record.weight > 3.0f) appendFixedLine(text, "weight", static_cast<double>(record.weight), 4, 8);
    if (record.tracer[0] != '\0') appendLine(text, "tracer", sanitizedField(record.tracer));
    if (record.comment[0] != '\0') appendLine(text, "comment", sanitizedField(record.comment));
    appendIntegerLine(text, "matrix", FrameStore::kSide);
    appendFixedLine(text, "pixel", record.pixel, 10, 16);
    appendFixedLine(text, "thick", record.thick, 10, 16);
    appendIntegerLine(text, "hr", record.hr);
    appendIntegerLine(text, "division", record.division);
    appendIntegerLine(text, "frames", record.frames);
    text += "order = little;\n";
    text += "\f\n";
    return withCrLf(text);
}

}  // namespace trevik::detail

namespace trevik {

void sanitizeText(const char* source, char* destination) {
    // Printable is 0x20..0x7E, white space 0x09..0x0D and 0x20, whatever the
    // locale: what stays is 0x21..0x7E.
    for (; *source; ++source, ++destination) {
        const auto c = static_cast<unsigned char>(*source);
        *destination = c >= 0x21 && c <= 0x7E ? *source : '_';
    }
    *destination = '\0';
}

}  // namespace trevik
