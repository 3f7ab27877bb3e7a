// The texts of an object decoded by the character set it declares
// (Specific Character Set, 0008,0005) to UTF-8, and from there to the ASCII
// the study record holds (study/names.h). Every Defined Term is decoded:
// the single-byte sets, UTF-8, GB18030 and GBK whole, and the ISO 2022
// forms escape sequence by escape sequence (glibc's iconv converts each
// segment; JIS X 0201 katakana are a table of their own). A value or term
// the decoder does not know keeps its ASCII, every other character reads as
// "_", and a warning says so. Nothing here throws or aborts.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class DcmItem;

namespace trevik::dicom {

// The fixed table: the ASCII text of a UTF-8 text (foldedAscii).
std::string asciiOfUtf8(std::string_view utf8);

class TextDecoder {
public:
    // Takes the declared character set (0008,0005) of `dataset`.
    explicit TextDecoder(DcmItem& dataset);
    // Takes the value of (0008,0005) as the file holds it.
    explicit TextDecoder(std::string_view declared);
    ~TextDecoder();
    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    // `value` as UTF-8; `personName`: a PN value, whose component
    // delimiters reset code extensions.
    std::string utf8(std::string_view value, bool personName = false) const;
    // `value` as ASCII (accented Latin letters folded, the rest "_").
    std::string ascii(std::string_view value, bool personName = false) const;
    // The first value of a Patient's Name as a clinic reads it
    // (readableName), and an identifier (readableIdentifier).
    std::string name(std::string_view value) const;
    std::string identifier(std::string_view value) const;

    // What could not be decoded as declared, one line each, said once.
    const std::vector<std::string>& warnings() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The warnings of decoding the texts the reader takes from `dataset`
// (Patient's Name, Patient ID, Radiopharmaceutical), for the inspection.
std::vector<std::string> textWarnings(DcmItem& dataset);

}  // namespace trevik::dicom
