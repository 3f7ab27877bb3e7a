#include "writer/gsd/gsd_format.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "study/rules.h"

namespace trevik {

void sanitizeText(const char* source, char* destination) {
    // Printable is 0x20..0x7E, white space 0x09..0x0D and 0x20, whatever the
    // locale: what stays is 0x21..0x7E, but ";", which would end the line's
    // value and let a text forge further lines.
    for (; *source; ++source, ++destination) {
        const auto c = static_cast<unsigned char>(*source);
        *destination = c >= 0x21 && c <= 0x7E && c != ';' ? *source : '_';
    }
    *destination = '\0';
}

namespace gsd {

namespace {

// The text of a fixed-width field up to its terminator, never beyond the field.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
    return {field, ::strnlen(field, N)};
}

// The writer's sanitized copy of a free text: at most 79 characters (a
// longer text is cut), through sanitizeText.
std::string token(std::string_view text) {
    char copy[80];
    char clean[80];
    copyText(copy, text);
    sanitizeText(copy, clean);
    return clean;
}

// A date, time or sex as written: byte for byte, but every control byte
// (0x00 to 0x1F, 0x7F) and ";" turned into an underscore, so that no value
// can end its line, hold the separator or add a line of its own. Spaces and
// bytes from 0x80 up stay.
std::string raw(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || b == ';') c = '_';
    }
    return out;
}

void appendInteger(std::string& out, long long value) {
    char text[24];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    out.append(text, error == std::errc{} ? static_cast<std::size_t>(end - text) : 0);
}

double none(const StudyFacts&) { return 0; }
std::string_view noText(const StudyRecord&) { return {}; }

const std::vector<Key> kKeys = {
    {"id", Form::Token, nullptr, [](const StudyRecord& r) { return fieldText(r.id); }, none, {}},
    {"name", Form::Token, nullptr, [](const StudyRecord& r) { return fieldText(r.name); }, none, {}},
    {"date", Form::Raw, nullptr, [](const StudyRecord& r) { return fieldText(r.date); }, none, {}},
    {"time", Form::Raw, nullptr, [](const StudyRecord& r) { return fieldText(r.time); }, none, {}},
    {"sex", Form::Raw, nullptr, [](const StudyRecord& r) { return fieldText(r.sex); }, none, {}},
    // The comparisons are made on the stored 32-bit values.
    {"height", Form::Fixed4, heightRecorded, noText,
     [](const StudyFacts& s) { return static_cast<double>(s.record.height); }, {}},
    {"weight", Form::Fixed4, weightRecorded, noText,
     [](const StudyFacts& s) { return static_cast<double>(s.record.weight); }, {}},
    {"tracer", Form::Token, [](const StudyRecord& r) { return r.tracer[0] != '\0'; },
     [](const StudyRecord& r) { return fieldText(r.tracer); }, none, {}},
    {"comment", Form::Token, [](const StudyRecord& r) { return r.comment[0] != '\0'; },
     [](const StudyRecord& r) { return fieldText(r.comment); }, none, {}},
    // Every stored frame is 64 x 64.
    {"matrix", Form::Word, nullptr, noText, none, "64"},
    {"pixel", Form::Fixed10, nullptr, noText, [](const StudyFacts& s) { return s.record.pixel; }, {}},
    {"thick", Form::Fixed10, nullptr, noText,
     [](const StudyFacts& s) { return writtenThickness(s); }, {}},
    {"hr", Form::Integer, nullptr, noText, [](const StudyFacts& s) { return static_cast<double>(s.record.hr); }, {}},
    {"division", Form::Integer, nullptr, noText,
     [](const StudyFacts& s) { return static_cast<double>(s.record.division); }, {}},
    {"frames", Form::Integer, nullptr, noText, [](const StudyFacts& s) { return static_cast<double>(s.record.frames); },
     {}},
    {"order", Form::Word, nullptr, noText, none, "little"},
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "%d": an optional minus sign and digits without leading zeros.
bool parseInteger(std::string_view v, long long& value) {
    const bool negative = !v.empty() && v[0] == '-';
    const std::string_view digits = v.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 11 || (digits.size() > 1 && digits[0] == '0')) return false;
    value = 0;
    for (const char c : digits) {
        if (!isDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    return true;
}

// "%<width>.<precision>f": spaces up to the width, then an optional minus
// sign, digits, a full stop and `precision` digits (or inf, nan).
bool isFixed(std::string_view v, std::size_t precision, std::size_t width) {
    const std::size_t fill = v.find_first_not_of(' ');
    if (fill == std::string_view::npos || (fill > 0 && v.size() != width)) return false;
    std::string_view n = v.substr(fill);
    if (!n.empty() && n[0] == '-') n.remove_prefix(1);
    if (n == "inf" || n == "nan") return true;
    const std::size_t point = n.find('.');
    if (point == 0 || point == std::string_view::npos || n.size() - point - 1 != precision) return false;
    return std::all_of(n.begin(), n.begin() + static_cast<std::ptrdiff_t>(point), isDigit) &&
           std::all_of(n.begin() + static_cast<std::ptrdiff_t>(point) + 1, n.end(), isDigit);
}

bool valueFits(const Key& k, std::string_view v, long long& integer) {
    switch (k.form) {
    case Form::Token:
        return std::all_of(v.begin(), v.end(), [](char c) { return c >= 0x21 && c <= 0x7E && c != ';'; });
    case Form::Raw:
        return std::none_of(v.begin(), v.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b < 0x20 || b == 0x7F || b == ';';
        });
    case Form::Fixed4: return isFixed(v, 4, 8);
    case Form::Fixed10: return isFixed(v, 10, 16);
    case Form::Integer: return parseInteger(v, integer);
    case Form::Word: return v == k.word;
    }
    return false;
}

}  // namespace

const std::vector<Key>& keys() { return kKeys; }

// Not inlined: the fuzz build keeps this per-sample loop off its coverage
// instrumentation.
__attribute__((noinline)) void decodeFrame(const unsigned char* bytes, std::int16_t* samples) {
    for (std::size_t k = 0; k < kFrameBytes / 2; ++k)
        samples[k] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * k] | bytes[2 * k + 1] << 8));
}

void appendFixed(std::string& out, double value, int precision, int width) {
    // The longest fixed form of a double: sign, 309 integer digits, point,
    // precision digits.
    char text[320 + 64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, precision);
    const std::size_t length = error == std::errc{} ? static_cast<std::size_t>(end - text) : 0;
    if (length < static_cast<std::size_t>(width)) out.append(static_cast<std::size_t>(width) - length, ' ');
    out.append(text, length);
}

std::string composeHeader(const StudyFacts& study) {
    std::string out(kMagic);
    for (const Key& k : kKeys) {
        if (k.written && !k.written(study.record)) continue;
        out.append(k.key).append(" = ");
        switch (k.form) {
        case Form::Token: out += token(k.text(study.record)); break;
        case Form::Raw: out += raw(k.text(study.record)); break;
        case Form::Fixed4: appendFixed(out, k.number(study), 4, 8); break;
        case Form::Fixed10: appendFixed(out, k.number(study), 10, 16); break;
        case Form::Integer: appendInteger(out, static_cast<long long>(k.number(study))); break;
        case Form::Word: out += k.word; break;
        }
        out += ";\r\n";
    }
    out += kSeparator;
    return out;
}

const std::string* Header::find(std::string_view key) const {
    for (const Line& l : lines)
        if (l.key == key) return &l.value;
    return nullptr;
}

Header parseHeader(std::string_view file) {
    Header h;
    std::size_t at = 0;
    // A problem lies on the line after those read.
    auto fail = [&h, &at](Header::Problem problem, std::string_view key = {}) {
        h.problem = problem;
        h.line = static_cast<int>(h.lines.size()) + 2;
        h.at = at;
        h.key = key;
        return h;
    };
    if (file.substr(0, kMagic.size()) != kMagic) {
        h.lines.clear();
        h.problem = Header::Problem::NoMagic;
        h.line = 1;
        return h;
    }
    at = kMagic.size();
    for (const Key& k : kKeys) {
        const std::string prefix = std::string(k.key) + " = ";
        if (file.substr(at, prefix.size()) != prefix) {
            if (k.written) continue;  // an optional line may be missing
            return fail(Header::Problem::Missing, k.key);
        }
        const std::size_t start = at + prefix.size();
        // No value holds ";": the first one ends it.
        const std::size_t end = file.find(';', start);
        if (end == std::string_view::npos || file.substr(end, 3) != ";\r\n")
            return fail(Header::Problem::Unterminated, k.key);
        const std::string_view value = file.substr(start, end - start);
        long long integer = 0;
        if (!valueFits(k, value, integer)) {
            h.value = value;
            return fail(Header::Problem::Malformed, k.key);
        }
        if (k.key == "division") h.division = integer;
        if (k.key == "frames") h.frames = integer;
        h.lines.push_back({k.key, std::string(value)});
        at = end + 3;
    }
    if (file.substr(at, kSeparator.size()) != kSeparator) return fail(Header::Problem::NoSeparator);
    h.size = at + kSeparator.size();
    return h;
}

}  // namespace gsd
}  // namespace trevik
