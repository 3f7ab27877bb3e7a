// Interpretation of the tagged source header into the study.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "reader/projection/big_endian.h"
#include "reader/projection/element_stream.h"
#include "study/load_options.h"
#include "study/study.h"

namespace trevik {

enum class HeaderStatus {
    Complete,    // the end element was reached; the stream is on the pixel data
    Incomplete,  // the file ends before the end element (6B01,1004)
    Malformed,   // an element before the end element has a negative length
};

// How an element's value is read. Every form consumes exactly the
// element's length.
enum class ValueForm {
    Text,     // up to `width` bytes from the value's start
    Decimal,  // the leading decimal number of the value
    Fixed,    // the first `width` bytes; a shorter value is skipped whole
};

// What was read of one value, handed to the element's rule.
struct ElementValue {
    const unsigned char* bytes;  // Text and Fixed: the bytes kept
    std::size_t size;
    double number;  // Decimal: the scanned number

    // The big-endian 16-bit number at value byte `at` (Fixed).
    std::int16_t be16(std::size_t at) const { return static_cast<std::int16_t>(bigEndian16(bytes + at)); }
    // The big-endian 32-bit number at value byte `at` (Fixed).
    std::int32_t be32(std::size_t at) const { return static_cast<std::int32_t>(bigEndian32(bytes + at)); }
};

// One study field as an element's rule left it, for showing what the
// element was read as.
struct FieldView {
    enum class Kind {
        Text,     // `text`: a zero-terminated field of `width` bytes
        Integer,  // `integer`
        Number,   // `number`
        Flag,     // `integer`: 0 or 1
    };
    const char* label;
    Kind kind;
    const char* text;
    std::size_t width;
    long long integer;
    double number;
};

// The most fields one element sets.
inline constexpr int kMostFields = 2;

// One header element the reader interprets: its tag, its name, how its
// value is read, what it sets in the study and how those fields read back.
struct ElementRule {
    std::uint16_t group;
    std::uint16_t element;
    const char* name;
    ValueForm form;
    std::int32_t width;  // Text: the most bytes kept; Fixed: the bytes needed
    void (*apply)(StudyFacts& study, const ElementValue& value);
    // Fills `fields` with the study fields `apply` sets; returns how many.
    int (*fields)(const StudyFacts& study, FieldView (&fields)[kMostFields]);
};

// The rule for (group, element); nullptr for an element the reader skips.
const ElementRule* findElementRule(std::uint16_t group, std::uint16_t element);

// The element that ends the header; its length is not consulted.
inline constexpr std::uint16_t kEndGroup = 0x6B01;
inline constexpr std::uint16_t kEndElement = 0x1004;

// One element header the walk read whole, in file order.
struct SeenElement {
    std::int64_t offset;      // file offset of its 8-byte header
    ElementHeader header;
    const ElementRule* rule;  // the element's rule; nullptr for one the reader skips
    bool applied;             // the rule read its value and set the study
};

// A HeaderObserver (study/load_options.h) is told of every element header
// the walk reads whole, once its value has been taken or skipped (or found
// cut short by the end of the file), before the walk goes on or stops. The
// end element is the last one told.

// Walks the header from file offset 0: sets the defaults (thick 0, hr 0,
// division 0, tracer "99mTc"), reads the preamble, takes every known element
// into the study and, on the end element, moves the stream to the next
// 1024-byte boundary strictly behind the end element's 8-byte header. An
// observer, when given, is told of each element in file order.
HeaderStatus readHeader(SourceStream& stream, FilePreamble& preamble, StudyFacts& study,
                        const HeaderObserver& observer = {});

}  // namespace trevik
