// Recognising a DICOM Part 10 file without reading it as DICOM: the four
// bytes "DICM" at offset 128. Plain C++, for the programs that never load
// DCMTK.
#pragma once

#include <cstddef>

namespace trevik::dicom {

// Where the marker lies and what it says.
inline constexpr std::size_t kPart10MarkerOffset = 128;
inline constexpr char kPart10Marker[4] = {'D', 'I', 'C', 'M'};

// True when the open file `fd` is a DICOM Part 10 file. Reads with pread:
// the descriptor's offset does not move.
bool isDicomFile(int fd);

// Whether the file at `path` is a DICOM Part 10 file (also declared in
// reader/dicom/dicom_source.h).
bool isDicomFile(const char* path);

}  // namespace trevik::dicom
