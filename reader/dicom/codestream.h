// The marker segments of a JPEG 2000 codestream that say whether it is
// coded losslessly, found by a walk of its headers: the main header and
// every tile-part header (each tile-part skipped by its SOT length). Plain
// C++; the walk reads each byte at most once and never past the end.
#pragma once

#include <span>

#include "study/status.h"

namespace trevik::dicom {

// The codestream (raw, or in a JP2 file's contiguous codestream box) is
// lossless when every COD and COC selects the reversible 5-3 wavelet and
// every QCD and QCC no quantisation. Otherwise: DicomLossy for the main
// header, DicomLossyTile for a tile-part header; DicomUndecodable when the
// headers cannot be walked (a segment or tile-part running past the end,
// no codestream box, a marker where none belongs).
Status checkLossless(std::span<const unsigned char> bytes);

}  // namespace trevik::dicom
