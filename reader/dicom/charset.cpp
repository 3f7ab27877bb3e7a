#include "reader/dicom/charset.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcspchrs.h>

#include <cstdint>
#include <new>

namespace trevik::dicom {

namespace {

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

char asciiOf(std::uint32_t code) {
    if (code < 0x80) return static_cast<char>(code);
    if (code >= 0xC0 && code < 0x180) return kLatin[code - 0xC0];
    return '_';
}

}  // namespace

std::string asciiOfUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        int length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        std::uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        bool valid = length > 0 && i + static_cast<std::size_t>(length) <= utf8.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3Fu);
        }
        if (!valid) {
            out += '_';  // a byte that is no UTF-8 is one character
            ++i;
            continue;
        }
        out += asciiOf(code);
        i += static_cast<std::size_t>(length);
    }
    return out;
}

TextDecoder::TextDecoder(DcmItem& dataset) {
    OFString declared;
    if (dataset.findAndGetOFStringArray(DCM_SpecificCharacterSet, declared).bad()) declared.clear();
    std::string text(declared.c_str());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(0, 1);
    if (text.empty() || text == "ISO_IR 6" || text == "ISO 2022 IR 6") {
        set_ = Set::Ascii;
    } else if (text == "ISO_IR 100") {
        set_ = Set::Latin1;
    } else if (text == "ISO_IR 192") {
        set_ = Set::Utf8;
    } else {
        set_ = Set::Other;
        auto converter = std::make_unique<DcmSpecificCharacterSet>();
        if (DcmSpecificCharacterSet::isConversionAvailable() && converter->selectCharacterSet(dataset).good())
            converter_ = std::move(converter);
    }
}

TextDecoder::~TextDecoder() = default;

std::string TextDecoder::ascii(std::string_view value, bool personName) const {
    switch (set_) {
    case Set::Utf8: return asciiOfUtf8(value);
    case Set::Latin1: {
        std::string out;
        for (const char c : value) out += asciiOf(static_cast<unsigned char>(c));
        return out;
    }
    case Set::Other:
        if (converter_) {
            OFString utf8;
            const OFString from(value.data(), value.size());
            if (converter_->convertString(from, utf8, personName ? "\\^=" : nullptr).good())
                return asciiOfUtf8(std::string_view(utf8.c_str(), utf8.length()));
        }
        break;
    case Set::Ascii: break;
    }
    // ASCII, or a set that cannot be decoded here: every run of bytes beyond
    // ASCII stands for at least one character and becomes one "_".
    std::string out;
    bool inRun = false;
    for (const char c : value) {
        const bool beyond = static_cast<unsigned char>(c) >= 0x80;
        if (!beyond) out += c;
        else if (!inRun) out += '_';
        inRun = beyond;
    }
    return out;
}

}  // namespace trevik::dicom
