// The camera's texts as DICOM values: byte strings of unknown encoding
// become UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace trevik::dicom {

struct ConvertedText {
    std::string text;       // UTF-8
    bool replaced = false;  // some byte decoded neither way, or was not allowed, and is now "?"
    bool ascii = true;      // the result is plain ASCII
};

// How a text will be used: a single-valued string (no backslash, which
// separates values) or free text (LT, which may hold one).
enum class TextUse { Value, FreeText };

// `bytes` kept as they stand when they are valid UTF-8, otherwise decoded as
// CP932, the camera's Windows code page (through iconv). A byte that neither
// decodes, a control character other than a line break in free text, and a
// backslash in a single value become "?". A zero byte ends the text.
ConvertedText toUtf8(std::string_view bytes, TextUse use = TextUse::Value);

}  // namespace trevik::dicom
