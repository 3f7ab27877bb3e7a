// The pixel data of an NM object: its sample form, its decoding where it is
// compressed, and each stored frame in the form a sink asks for.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "study/frame_sink.h"
#include "study/status.h"

namespace trevik::dicom {

// The sample rule of one stored value: masked to Bits Stored and, for
// signed samples, sign-extended from its high bit; then rescaled.
struct SampleForm {
    int bitsAllocated;
    int bitsStored;
    bool signedSamples;
    bool rescaled;
    double slope;
    double intercept;

    long value(std::uint32_t stored) const {
        const std::uint32_t mask = bitsStored >= 32 ? 0xFFFFFFFFu : (1u << bitsStored) - 1u;
        std::uint32_t v = stored & mask;
        if (signedSamples && (v >> (bitsStored - 1)) & 1u) v |= ~mask;
        return signedSamples ? static_cast<long>(static_cast<std::int32_t>(v)) : static_cast<long>(v);
    }
};

// The sample form the object declares; refused unless one 8- or 16-bit
// integer per pixel.
Status readSampleForm(DcmItem& data, SampleForm& form);

// The stored frames, decoded where compressed: `raw` points at frame 0 of
// `frameBytes` bytes each (within `decoded` when the load decoded them
// itself), `available` bytes in all. Data longer than the object's
// `frames` (beyond one pad byte) is refused. An object flagged as lossily
// compressed once is refused in every transfer syntax.
// `framewise` (storedFramesChecked): the frames stay in the file and each
// load reads those it takes (readFramesTaken) into `some`, `raw` pointing
// there and `places` giving each frame's place in it (-1: not read);
// `available` is still the length of the whole value.
struct StoredFrames {
    const unsigned char* raw = nullptr;
    std::size_t frameBytes = 0;
    std::size_t available = 0;
    std::vector<unsigned char> decoded;
    bool framewise = false;
    std::unique_ptr<unsigned char[]> some;
    std::size_t someFrames = 0;
    std::vector<std::int32_t> places;
    const unsigned char* frame(int index) const {
        const std::int32_t at = places.empty() ? index : places[static_cast<std::size_t>(index)];
        return raw + static_cast<std::size_t>(at) * frameBytes;
    }
};
Status storedFrames(DcmDataset& data, E_TransferSyntax xfer, const SampleForm& form, int side, long frames,
                    StoredFrames& out);

// As storedFrames, but uncompressed little-endian pixel data is only
// checked as a whole (the lossy flag, its length against the frames) and
// left in the file, `framewise` set; any other data is read whole.
Status storedFramesChecked(DcmDataset& data, E_TransferSyntax xfer, const SampleForm& form, int side, long frames,
                           StoredFrames& out);

// The frames of `taken`, which framesHeld found within the data, read from
// the file at their offsets in the value (a run of adjacent frames a read)
// into the one buffer of `out`, in place of an earlier load's. When the
// file no longer gives them, no frame is held (`available` 0), as when a
// whole read fails.
Status readFramesTaken(DcmDataset& data, const std::vector<int>& taken, long frames, StoredFrames& out);

// Every frame of `taken` must lie whole within the stored data, else
// kEndsEarly (PixelDataEnds) in `ends`, whose where-fields the caller has
// filled so far.
Status framesHeld(const StoredFrames& stored, int side, int sampleBits, const std::vector<int>& taken, Status ends);

// One frame of `side` x `side` stored values at `raw` into `out` in the form asked.
void convertFrame(const SampleForm& form, const void* raw, int side, const FrameForm& wanted, std::int16_t* out,
                  CountChanges& changes);

}  // namespace trevik::dicom
