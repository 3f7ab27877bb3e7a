#include "dicom/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace trevik::dicom {

namespace {

// Converts all of `bytes` from `from` to UTF-8; each byte that does not
// decode becomes "?" (when `lenient`) or fails the conversion (nothing).
std::optional<std::string> convert(std::string_view bytes, const char* from, bool lenient, bool& replaced) {
    iconv_t cd = ::iconv_open("UTF-8", from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out;
    std::string input(bytes);
    char* in = input.data();
    std::size_t inLeft = input.size();
    char buffer[256];
    bool ok = true;
    while (inLeft > 0) {
        char* o = buffer;
        std::size_t oLeft = sizeof buffer;
        const std::size_t r = ::iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buffer, static_cast<std::size_t>(o - buffer));
        if (r != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL (a sequence cut off by the end): one byte is lost.
        if (!lenient) {
            ok = false;
            break;
        }
        out.push_back('?');
        replaced = true;
        ++in;
        --inLeft;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    ::iconv_close(cd);
    if (!ok) return std::nullopt;
    return out;
}

}  // namespace

ConvertedText toUtf8(std::string_view bytes, TextUse use) {
    ConvertedText result;
    if (const std::size_t zero = bytes.find('\0'); zero != std::string_view::npos) bytes = bytes.substr(0, zero);
    bool ascii = true;
    for (unsigned char c : bytes) ascii = ascii && c < 0x80;
    std::string text;
    if (ascii) {
        text.assign(bytes);
    } else if (auto utf8 = convert(bytes, "UTF-8", false, result.replaced)) {
        text = std::move(*utf8);
    } else if (auto cp932 = convert(bytes, "CP932", true, result.replaced)) {
        text = std::move(*cp932);
    } else {
        // Without CP932 in iconv, no byte from 0x80 up decodes.
        for (unsigned char c : bytes) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        result.replaced = true;
    }
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool lineBreak = use == TextUse::FreeText && (c == '\r' || c == '\n');
        if (((u < 0x20 || u == 0x7F) && !lineBreak) || (c == '\\' && use == TextUse::Value)) {
            c = '?';
            result.replaced = true;
        }
        if (u >= 0x80) result.ascii = false;
    }
    result.text = std::move(text);
    return result;
}

}  // namespace trevik::dicom
