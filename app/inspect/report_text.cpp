#include "app/inspect/report_text.h"

#include <charconv>

#include "app/inspect/inspection.h"

namespace trevik::inspect {

Text& Text::operator<<(double value) {
    char b[64];
    const auto r = std::to_chars(b, b + sizeof b, value);
    out_.append(b, r.ptr);
    return *this;
}

void Text::appendInteger(long long value) {
    char b[24];
    const auto r = std::to_chars(b, b + sizeof b, value);
    out_.append(b, r.ptr);
}

std::string padLeft(std::string s, std::size_t width) {
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}

std::string padRight(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

std::string quoted(std::string_view bytes) {
    std::string s = "\"";
    appendPrintable(s, bytes, '"');
    s += '"';
    return s;
}

std::string plural(long long count, std::string_view one, std::string_view many) {
    return toText(count) + " " + std::string(count == 1 ? one : many);
}

std::string escapeTsv(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default:
            // Every other control byte as \xNN: no field can move the
            // terminal or hide what follows it.
            if (const auto u = static_cast<unsigned char>(c); u < 0x20 || u == 0x7F) {
                constexpr char kHex[] = "0123456789ABCDEF";
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string tsvLine(std::string_view path, const Verdict& verdict, std::string_view picture) {
    Text t;
    t << escapeTsv(path) << "\t" << kindName(verdict.kind) << "\t" << verdict.code << "\t" << escapeTsv(verdict.reason)
      << "\t" << verdict.wrapped << "\t" << verdict.warnings << "\t" << escapeTsv(picture) << "\t" << verdict.qcLowest << "\t" << verdict.qcMotion << "\t" << verdict.qcState
      << "\n";
    return std::move(t.str());
}

}  // namespace trevik::inspect
