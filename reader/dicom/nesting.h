// How deep a DICOM object's sequences nest, found by a scan of its raw bytes
// before any parser reads it: a parser that recurses into each sequence
// runs out of stack on some thousands of levels, so no check inside it can
// refuse them. The scan keeps its own stack of open levels (never more than
// the bound) and recurses nowhere. Plain C++ and zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "study/status.h"

namespace trevik::dicom {

// The deepest nesting read: NM objects need three levels.
inline constexpr int kMostNesting = 16;
// The most a deflated data set may inflate to before the scan.
inline constexpr std::uint64_t kMostInflated = 512ull << 20;

// The scan of a DICOM Part 10 file (preamble, "DICM", the file meta group in
// explicit little endian, then the data set in the transfer syntax the meta
// group names: explicit or implicit little endian, explicit big endian, or
// deflated). Each element is read as DCMTK reads it, whatever its VR bytes
// (explicit_vr.h). Sequences (SQ, and UN or any other element of undefined
// length) nested deeper than kMostNesting: Reason::NestedTooDeep (2). A
// value of defined length that starts with an item where the parser may
// read bytes (UN, or implicit VR) is read as a sequence too, and the scan
// goes on at its end; where its items do not end there (they run past
// it, or its delimiter comes first) and the parser could follow them
// (implicit VR): Reason::DicomSequenceOverrun (2). A
// deflated data set that inflates past `mostInflated`: 2 with the reason,
// and one whose values run past its inflated end: 4 (DCMTK would allocate
// such a value whole before finding the end); memory: 8. Anything else, a malformed or cut file included, passes: the
// parser says what is wrong with it.
Status checkNesting(const unsigned char* bytes, std::size_t size, std::uint64_t mostInflated = kMostInflated);
// The same for the file at `path` (read in pieces, never whole); a file
// that cannot be read passes too, for the parser to report.
Status checkNestingOfFile(const char* path, std::uint64_t mostInflated = kMostInflated);
// A data set alone (no preamble, no meta group) in `transferSyntax` (its
// UID), as received over the network.
Status checkNestingOfDataSet(const unsigned char* bytes, std::size_t size, std::string_view transferSyntax,
                             std::uint64_t mostInflated = kMostInflated);

}  // namespace trevik::dicom
