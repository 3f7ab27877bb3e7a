#include "tests/fuzz/gsd_header.h"

#include <locale.h>

#include <charconv>
#include <cstdio>

namespace trevik::test {

namespace {

enum class ValueKind {
    Token,  // a sanitized text or a number: never holds CR or LF
    Raw,    // date, time, sex: any bytes, every LF written as CR LF
};

struct KeyRule {
    const char* key;
    ValueKind kind;
    bool optional;
};

// The header lines after "qubrix", in the order they are written.
constexpr KeyRule kKeys[] = {
    {"id", ValueKind::Token, false},      {"name", ValueKind::Token, false},   {"date", ValueKind::Raw, false},
    {"time", ValueKind::Raw, false},      {"sex", ValueKind::Raw, false},      {"height", ValueKind::Token, true},
    {"weight", ValueKind::Token, true},   {"tracer", ValueKind::Token, true},  {"comment", ValueKind::Token, true},
    {"matrix", ValueKind::Token, false},  {"pixel", ValueKind::Token, false},  {"thick", ValueKind::Token, false},
    {"hr", ValueKind::Token, false},      {"division", ValueKind::Token, false},
    {"frames", ValueKind::Token, false},  {"order", ValueKind::Token, false},
};
constexpr std::size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

constexpr std::string_view kMagic = "qubrix\r\n";
constexpr std::string_view kSeparator = "\f\r\n";
constexpr std::string_view kLineEnd = ";\r\n";
// A header line of raw text is at most 255 characters before its CR LF.
constexpr std::size_t kMaxRawLine = 255;

// Undoes the newline rule: CR LF back to LF. False when an LF stands
// without its CR, which the writer never produces.
bool decodeRaw(std::string_view written, std::string& value) {
    value.clear();
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '\r' && i + 1 < written.size() && written[i + 1] == '\n') continue;
        if (written[i] == '\n' && (i == 0 || written[i - 1] != '\r')) return false;
        value += written[i];
    }
    return true;
}

class Parser {
public:
    Parser(std::string_view file, const std::function<bool(const GsdHeader&)>& accept)
        : file_(file), accept_(accept) {}

    std::optional<GsdHeader> run() {
        if (file_.substr(0, kMagic.size()) != kMagic) return std::nullopt;
        if (parseFrom(kMagic.size(), 0)) return header_;
        return std::nullopt;
    }

private:
    bool startsAt(std::size_t pos, std::string_view text) const { return file_.substr(pos, text.size()) == text; }

    bool finish(std::size_t pos) {
        if (!startsAt(pos, kSeparator)) return false;
        header_.size = pos + kSeparator.size();
        return !accept_ || accept_(header_);
    }

    bool take(std::size_t next, std::size_t index, std::string key, std::string value) {
        header_.lines.push_back({std::move(key), std::move(value)});
        if (parseFrom(next, index + 1)) return true;
        header_.lines.pop_back();
        return false;
    }

    bool parseFrom(std::size_t pos, std::size_t index) {
        if (index == kKeyCount) return finish(pos);
        const KeyRule& rule = kKeys[index];
        const std::string prefix = std::string(rule.key) + " = ";
        if (!startsAt(pos, prefix)) return rule.optional && parseFrom(pos, index + 1);
        const std::size_t start = pos + prefix.size();

        if (rule.kind == ValueKind::Token) {
            const std::size_t crlf = file_.find("\r\n", start);
            if (crlf == std::string_view::npos || crlf == start || file_[crlf - 1] != ';') return false;
            return take(crlf + 2, index, rule.key, std::string(file_.substr(start, crlf - 1 - start)));
        }
        // Raw text: every ";" CR LF within the line's length may end it.
        const std::size_t limit = pos + kMaxRawLine + 2;
        std::string value;
        for (std::size_t end = file_.find(kLineEnd, start); end != std::string_view::npos && end + 3 <= limit;
             end = file_.find(kLineEnd, end + 1)) {
            if (decodeRaw(file_.substr(start, end - start), value) && take(end + 3, index, rule.key, value))
                return true;
        }
        return false;
    }

    std::string_view file_;
    const std::function<bool(const GsdHeader&)>& accept_;
    GsdHeader header_;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const std::string* GsdHeader::find(std::string_view key) const {
    for (const GsdLine& line : lines)
        if (line.key == key) return &line.value;
    return nullptr;
}

std::optional<GsdHeader> parseGsdHeader(std::string_view file, const std::function<bool(const GsdHeader&)>& accept) {
    return Parser(file, accept).run();
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
