#include "tests/fuzz/gsd_header.h"

#include <locale.h>

#include <charconv>
#include <cstdio>

namespace trevik::test {

namespace {

// The header lines after "qubrix", in the order they are written, and
// whether each may be missing.
constexpr struct {
    const char* key;
    bool optional;
} kKeys[] = {
    {"id", false},    {"name", false},   {"date", false},  {"time", false},  {"sex", false},    {"height", true},
    {"weight", true}, {"tracer", true},  {"comment", true}, {"matrix", false}, {"pixel", false},  {"thick", false},
    {"hr", false},    {"division", false}, {"frames", false}, {"order", false},
};

constexpr std::string_view kMagic = "qubrix\r\n";
constexpr std::string_view kSeparator = "\f\r\n";

// No value holds ";", a control byte or 0x7F.
bool plainValue(std::string_view value) {
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == ';') return false;
    }
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const std::string* GsdHeader::find(std::string_view key) const {
    for (const GsdLine& line : lines)
        if (line.key == key) return &line.value;
    return nullptr;
}

std::optional<GsdHeader> parseGsdHeader(std::string_view file) {
    if (file.substr(0, kMagic.size()) != kMagic) return std::nullopt;
    GsdHeader header;
    std::size_t at = kMagic.size();
    for (const auto& rule : kKeys) {
        const std::string prefix = std::string(rule.key) + " = ";
        if (file.substr(at, prefix.size()) != prefix) {
            if (rule.optional) continue;
            return std::nullopt;
        }
        const std::size_t start = at + prefix.size();
        const std::size_t end = file.find(';', start);
        if (end == std::string_view::npos || file.substr(end, 3) != ";\r\n") return std::nullopt;
        const std::string_view value = file.substr(start, end - start);
        if (!plainValue(value)) return std::nullopt;
        header.lines.push_back({rule.key, std::string(value)});
        at = end + 3;
    }
    if (file.substr(at, kSeparator.size()) != kSeparator) return std::nullopt;
    header.size = at + kSeparator.size();
    return header;
}

std::optional<long long> parseGsdInteger(std::string_view value) {
    std::string_view digits = value;
    if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    if (digits.empty() || (digits.size() > 1 && digits.front() == '0')) return std::nullopt;
    for (const char c : digits)
        if (!isDigit(c)) return std::nullopt;
    long long result = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result);
    if (error != std::errc{} || end != value.data() + value.size()) return std::nullopt;
    return result;
}

std::optional<std::string> parseGsdFixed(std::string_view value, int precision, int width) {
    std::string_view number = value;
    while (!number.empty() && number.front() == ' ') number.remove_prefix(1);
    // Filled up to the width exactly; a number that is longer has no fill.
    const auto w = static_cast<std::size_t>(width);
    if (value.size() < w || (value.size() > w && number.size() != value.size())) return std::nullopt;

    std::string_view body = number;
    if (!body.empty() && body.front() == '-') body.remove_prefix(1);
    if (body == "inf" || body == "nan") return std::string(number);

    const std::size_t point = body.find('.');
    if (point == std::string_view::npos || point == 0) return std::nullopt;
    const std::string_view whole = body.substr(0, point);
    const std::string_view fraction = body.substr(point + 1);
    if (fraction.size() != static_cast<std::size_t>(precision)) return std::nullopt;
    if (whole.size() > 1 && whole.front() == '0') return std::nullopt;
    for (const char c : whole)
        if (!isDigit(c)) return std::nullopt;
    for (const char c : fraction)
        if (!isDigit(c)) return std::nullopt;
    return std::string(number);
}

std::string formatGsdFixed(double value, int precision) {
    // printf in the "C" locale for this thread only: a full stop whatever
    // locale the test runs under.
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const locale_t previous = ::uselocale(cLocale);
    const int length = std::snprintf(nullptr, 0, "%.*f", precision, value);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::snprintf(text.data(), text.size() + 1, "%.*f", precision, value);
    ::uselocale(previous);
    return text;
}

std::string sanitizedGsdText(std::string_view text) {
    std::string out(text.substr(0, 79));
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7E || byte == ';') c = '_';
    }
    return out;
}

std::string printableBytes(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

}  // namespace trevik::test
