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

const char* kindName(FileKind kind) {
    switch (kind) {
    case FileKind::Source: return "source";
    case FileKind::Gsd: return "gsd";
    case FileKind::Dicom: return "dicom";
    case FileKind::Unknown: return "unknown";
    case FileKind::Other: return "other";
    }
    return "unknown";
}

bool unescapeTsv(std::string_view field, std::string& text) {
    text.clear();
    const auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            text += field[i];
            continue;
        }
        const char e = i + 1 < field.size() ? field[++i] : '\0';
        if (e == '\\' || e == 't' || e == 'n' || e == 'r') {
            text += e == '\\' ? '\\' : e == 't' ? '\t' : e == 'n' ? '\n' : '\r';
        } else if (e == 'x' && i + 2 < field.size() && hex(field[i + 1]) >= 0 && hex(field[i + 2]) >= 0) {
            text += static_cast<char>(hex(field[i + 1]) * 16 + hex(field[i + 2]));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

std::string tsvLine(std::string_view path, const Verdict& verdict, std::string_view picture) {
    Text t;
    t << escapeTsv(path) << "\t" << kindName(verdict.kind) << "\t"
      << (verdict.kind == FileKind::Other ? std::string("other") : std::to_string(verdict.code)) << "\t" << escapeTsv(verdict.reason)
      << "\t" << verdict.wrapped << "\t" << verdict.warnings << "\t" << escapeTsv(picture) << "\t" << verdict.qcLowest << "\t" << verdict.qcMotion << "\t" << verdict.qcState
      << "\n";
    return std::move(t.str());
}

}  // namespace trevik::inspect
