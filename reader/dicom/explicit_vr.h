// How DCMTK 3.6.7 reads an element of an explicit VR transfer syntax by its
// two VR bytes: where the length is, and what the value holds. Plain C++.
#pragma once

#include <cstdint>

namespace trevik::dicom {

// Besides the standard VRs, DCMTK knows some of its own (ox, px, lt: the
// long form; na: a 4-byte length straight after the VR; xs, up, pi: a
// 2-byte length), takes any other pair of upper-case letters for a VR to
// come (long form, read as UN) and any other bytes for a bad VR (2-byte
// length, read as bytes). Long: two reserved bytes, then a 4-byte length.
// The parser refuses an element whose VR says na (it stops there); the
// scan reads on past it all the same.
enum class LengthField : std::uint8_t { Short, Long, Bare };
enum class Holds : std::uint8_t {
    Bytes,     // of undefined length: fragments at (7FE0,0010), else a sequence
    Sequence,  // SQ
    Unknown,   // UN: of undefined length a sequence in implicit little endian;
               // of defined length bytes, which may hold a sequence
    Pixels,    // px: of undefined length fragments, whatever the tag
    Unsaid,    // no VR (implicit, or an item or delimiter): by the tag
};
struct VrRule {
    char name[3];
    LengthField length;
    Holds holds;
};

// The rule for the VR bytes `vr` of element (group,element).
VrRule explicitVrRule(const char vr[2], std::uint16_t group, std::uint16_t element);

}  // namespace trevik::dicom
