// The texts of an object as ASCII for the study record: values in the
// character set the object declares are decoded, then every accented Latin
// letter becomes its base letter and every other character beyond ASCII
// one "_" (one per character, not one per byte).
#pragma once

#include <memory>
#include <string>
#include <string_view>

class DcmItem;
class DcmSpecificCharacterSet;

namespace trevik::dicom {

// The fixed table: the ASCII text of a UTF-8 text. Bytes that are not UTF-8
// count as one character each.
std::string asciiOfUtf8(std::string_view utf8);

class TextDecoder {
public:
    // Takes the declared character set (0008,0005) of `dataset`.
    explicit TextDecoder(DcmItem& dataset);
    ~TextDecoder();
    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    // `value` as ASCII; `personName`: a PN value, whose component
    // delimiters reset code extensions.
    std::string ascii(std::string_view value, bool personName = false) const;

private:
    enum class Set { Ascii, Latin1, Utf8, Other };
    Set set_ = Set::Ascii;
    std::unique_ptr<DcmSpecificCharacterSet> converter_;  // Other, when it can convert
};

}  // namespace trevik::dicom
