// JPEG 2000 pixel data of an NM object, decoded with OpenJPEG: each frame
// is one codestream (raw, or inside a JP2 file's boxes) spread over one or
// more fragments of the encapsulated pixel data.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "study/status.h"

namespace trevik::dicom {

// What a frame decodes to: `side` x `side` samples of `bitsAllocated` (8 or
// 16) bits, signed or not, in the host's byte order.
struct Jpeg2000Form {
    int side = 0;
    int bitsAllocated = 16;
    bool signedSamples = false;
};

// One codestream decoded into `out` (side x side x bitsAllocated / 8
// bytes). A codestream that is damaged, cut short, or describes another
// image (more than one component, another size, samples that do not fit)
// is DicomUndecodable; one coded lossily in its main header (the
// irreversible wavelet or quantisation) DicomLossy, in a tile-part header
// DicomLossyTile (codestream.h). OpenJPEG's messages go nowhere.
Status decodeCodestream(std::span<const unsigned char> codestream, const Jpeg2000Form& form, unsigned char* out);

// The fragments of each of `frames` frames of the encapsulated pixel data
// of `data`, by its Basic Offset Table when that lists every frame, else
// one fragment a frame, or every fragment for one frame, or a frame at each
// fragment that starts a codestream. DicomUndecodable when none fits.
Status frameFragments(DcmDataset& data, long frames, std::vector<std::vector<std::span<const unsigned char>>>& out);

// Every frame of the JPEG 2000 pixel data of `data` decoded into `out`,
// frame after frame, as uncompressed pixel data would hold them.
Status decodeJpeg2000(DcmDataset& data, long frames, const Jpeg2000Form& form, std::vector<unsigned char>& out);

}  // namespace trevik::dicom
