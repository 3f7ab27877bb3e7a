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
// When only some frames were read (storedFramesTaken), `raw` points into
// `some` and `places` gives each frame's place there (-1: not read);
// `available` is still the length of the whole value.
struct StoredFrames {
    const unsigned char* raw = nullptr;
    std::size_t frameBytes = 0;
    std::size_t available = 0;
    std::vector<unsigned char> decoded;
    std::unique_ptr<unsigned char[]> some;
    std::vector<std::int32_t> places;
    const unsigned char* frame(int index) const {
        const std::int32_t at = places.empty() ? index : places[static_cast<std::size_t>(index)];
        return raw + static_cast<std::size_t>(at) * frameBytes;
    }
};
Status storedFrames(DcmDataset& data, E_TransferSyntax xfer, const SampleForm& form, int side, long frames,
                    StoredFrames& out);

// As storedFrames for one load that takes the frames `taken`: uncompressed
// little-endian pixel data is checked as a whole (its length against the
// frames, then that every frame of `taken` lies within it, else `ends` as
// framesHeld says) and only the frames taken are read from the file, at
// their offsets in the value; any other data is read whole (storedFrames).
Status storedFramesTaken(DcmDataset& data, E_TransferSyntax xfer, const SampleForm& form, int side, long frames,
                         const std::vector<int>& taken, const Status& ends, StoredFrames& out);

// Every frame of `taken` must lie whole within the stored data, else
// kEndsEarly (PixelDataEnds) in `ends`, whose where-fields the caller has
// filled so far.
Status framesHeld(const StoredFrames& stored, int side, int sampleBits, const std::vector<int>& taken, Status ends);

// One frame of `side` x `side` stored values at `raw` into `out` in the form asked.
void convertFrame(const SampleForm& form, const void* raw, int side, const FrameForm& wanted, std::int16_t* out,
                  CountChanges& changes);

}  // namespace trevik::dicom
