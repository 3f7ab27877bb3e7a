#include "reader/dicom/pixels.h"

#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcfcache.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "dicom/nm_attributes.h"
#include "reader/dicom/jpeg2000.h"
#include "study/sample.h"

namespace trevik::dicom {

namespace {

// The JPEG 2000 syntaxes of one component a frame (the multi-component
// ones are no projection data).
bool jpeg2000(E_TransferSyntax xfer) { return xfer == EXS_JPEG2000 || xfer == EXS_JPEG2000LosslessOnly; }

bool decodedByDcmtk(E_TransferSyntax xfer) {
    return xfer == EXS_JPEGProcess14 || xfer == EXS_JPEGProcess14SV1 || xfer == EXS_JPEGLSLossless ||
           xfer == EXS_RLELossless;
}

// Compressed pixel data decoded: JPEG 2000 into `decoded`, the others by
// DCMTK in place (the data set gains its uncompressed representation);
// uncompressed data as it stands. Whether data is lossy is judged by Lossy
// Image Compression first, then by the syntax, and for JPEG 2000 by the
// codestream's wavelet.
Status decode(DcmDataset& data, E_TransferSyntax xfer, const SampleForm& form, int side, long frames,
              std::vector<unsigned char>& decoded) {
    if (textOf(data, Nm::LossyImageCompression) == "01") return statusOf(Reason::DicomLossyFlag);
    const DcmXfer transfer(xfer);
    if (!transfer.isEncapsulated()) return {};
    if (jpeg2000(xfer))
        return decodeJpeg2000(data, frames, {side, form.bitsAllocated, form.signedSamples}, decoded);
    if (transfer.isLossy()) return statusOf(Reason::DicomLossy);
    if (!decodedByDcmtk(xfer)) return statusOf(Reason::DicomCompression);
    const OFCondition result = data.chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    if (result == EC_MemoryExhausted) return statusOf(Reason::NoMemory);
    if (result.bad()) return statusOf(Reason::DicomUndecodable);
    return {};
}

// The data's bytes, or 0 when it cannot be had; memory running out is said.
Status uncompressedBytes(DcmDataset& data, const SampleForm& form, const void*& raw, std::size_t& available) {
    DcmElement* pixels = nullptr;
    if (data.findAndGetElement(tagOf(Nm::PixelData), pixels).bad() || !pixels)
        return statusOf(Reason::DicomNoPixelData);
    Uint8* bytes8 = nullptr;
    Uint16* words16 = nullptr;
    const OFCondition got = form.bitsAllocated == 8 ? pixels->getUint8Array(bytes8) : pixels->getUint16Array(words16);
    raw = form.bitsAllocated == 8 ? static_cast<const void*>(bytes8) : static_cast<const void*>(words16);
    if (got == EC_MemoryExhausted) return statusOf(Reason::NoMemory);
    available = got.good() && raw ? pixels->getLength() : 0;
    return {};
}

// Refused when the data is longer than the frames, beyond one pad byte.
Status longerRefusal(std::size_t available, long frames, std::size_t frameBytes) {
    if (available <= static_cast<std::size_t>(frames) * frameBytes + 1) return {};
    Status longer = statusOf(Reason::DicomPixelDataLonger);
    longer.where.pixelBytes = static_cast<std::int64_t>(available);
    longer.where.pixelFrames = static_cast<std::int32_t>(frames);
    longer.where.frameBytes = static_cast<std::int64_t>(frameBytes);
    return longer;
}

// The pixel data element whose frames can be read one by one at their
// offsets: uncompressed, in a little-endian syntax (the bytes in the file
// are the samples as this machine holds them, as DCMTK's whole read gives
// them), and DCMTK's own pixel data element (which hands out 8- and 16-bit
// samples alike); null for any other.
DcmElement* framewisePixels(DcmDataset& data, E_TransferSyntax xfer) {
    if (xfer != EXS_LittleEndianExplicit && xfer != EXS_LittleEndianImplicit) return nullptr;
    DcmElement* pixels = nullptr;
    if (data.findAndGetElement(tagOf(Nm::PixelData), pixels).bad() || !pixels || pixels->ident() != EVR_PixelData)
        return nullptr;
    return pixels;
}

// The frames of `taken` read into `out.some`, a run of consecutive frames
// at a time; false when the file does not give them (it changed since
// the parse).
bool readTaken(DcmElement& pixels, const std::vector<int>& taken, long frames, StoredFrames& out) {
    std::vector<int> sorted(taken);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    if (!sorted.empty() && (sorted.front() < 0 || sorted.back() >= frames)) return false;
    if (!out.some || out.someFrames < sorted.size()) {
        out.some.reset();
        out.some.reset(new unsigned char[std::max<std::size_t>(sorted.size(), 1) * out.frameBytes]);
        out.someFrames = sorted.size();
    }
    out.places.assign(static_cast<std::size_t>(frames), -1);
    DcmFileCache cache;  // one open file for every run
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t end = i + 1;
        while (end < sorted.size() && sorted[end] == sorted[end - 1] + 1) ++end;
        const auto offset = static_cast<Uint32>(static_cast<std::size_t>(sorted[i]) * out.frameBytes);
        const auto bytes = static_cast<Uint32>((end - i) * out.frameBytes);
        if (pixels.getPartialValue(out.some.get() + i * out.frameBytes, offset, bytes, &cache).bad()) return false;
        for (std::size_t k = i; k < end; ++k)
            out.places[static_cast<std::size_t>(sorted[k])] = static_cast<std::int32_t>(k);
        i = end;
    }
    out.raw = out.some.get();
    return true;
}

// Rescale Slope and Intercept: absent, 1 and 0; present, a finite number
// each, a slope other than 0, and every stored value rescaled to a finite
// sample (the samples are floats): else refused, never taken for 1 and 0.
Status readRescale(DcmItem& data, SampleForm& form) {
    const auto read = [&data](Nm id, double absent, double& value) {
        value = absent;
        return !data.tagExistsWithValue(tagOf(id)) || decimalOf(data, id, value);
    };
    if (!read(Nm::RescaleSlope, 1.0, form.slope) || !read(Nm::RescaleIntercept, 0.0, form.intercept) ||
        form.slope == 0.0)
        return statusOf(Reason::DicomRescale);
    // The extreme stored values bound every rescaled one.
    const double low = form.signedSamples ? -std::ldexp(1.0, form.bitsStored - 1) : 0.0;
    const double high = form.signedSamples ? std::ldexp(1.0, form.bitsStored - 1) - 1 : std::ldexp(1.0, form.bitsStored) - 1;
    for (const double v : {low, high})
        if (!(std::fabs(v * form.slope + form.intercept) <= std::numeric_limits<float>::max()))
            return statusOf(Reason::DicomRescale);
    form.rescaled = form.slope != 1.0 || form.intercept != 0.0;
    return {};
}

}  // namespace

Status readSampleForm(DcmItem& data, SampleForm& form) {
    long samplesPerPixel = 1, bitsAllocated = 0, bitsStored = 0, highBit = -1, representation = 0;
    integerOf(data, Nm::SamplesPerPixel, samplesPerPixel);
    integerOf(data, Nm::BitsAllocated, bitsAllocated);
    if (!integerOf(data, Nm::BitsStored, bitsStored)) bitsStored = bitsAllocated;
    if (!integerOf(data, Nm::HighBit, highBit)) highBit = bitsStored - 1;
    integerOf(data, Nm::PixelRepresentation, representation);
    if (samplesPerPixel != 1 || (bitsAllocated != 8 && bitsAllocated != 16) || bitsStored < 1 ||
        bitsStored > bitsAllocated || highBit != bitsStored - 1 || (representation != 0 && representation != 1))
        return statusOf(Reason::DicomSampleForm);
    form = {static_cast<int>(bitsAllocated), static_cast<int>(bitsStored), representation == 1, false, 1.0, 0.0};
    return readRescale(data, form);
}

Status storedFrames(DcmDataset& data, E_TransferSyntax xfer, const SampleForm& form, int side, long frames,
                    StoredFrames& out) {
    if (Status s = decode(data, xfer, form, side, frames, out.decoded); !s.ok()) return s;
    const void* raw = out.decoded.data();
    std::size_t available = out.decoded.size();
    if (!jpeg2000(xfer))
        if (Status s = uncompressedBytes(data, form, raw, available); !s.ok()) return s;
    const std::size_t sampleBytes = static_cast<std::size_t>(form.bitsAllocated) / 8;
    const std::size_t frameBytes = static_cast<std::size_t>(side) * side * sampleBytes;
    // More than the frames (a value is padded to an even length by one
    // byte at most) is data whose layout the object does not describe.
    if (Status s = longerRefusal(available, frames, frameBytes); !s.ok()) return s;
    out.raw = static_cast<const unsigned char*>(raw);
    out.frameBytes = frameBytes;
    out.available = available;
    return {};
}

Status storedFramesChecked(DcmDataset& data, E_TransferSyntax xfer, const SampleForm& form, int side, long frames,
                           StoredFrames& out) {
    DcmElement* pixels = framewisePixels(data, xfer);
    if (!pixels || frames <= 0) return storedFrames(data, xfer, form, side, frames, out);
    if (Status s = decode(data, xfer, form, side, frames, out.decoded); !s.ok()) return s;
    out.frameBytes = static_cast<std::size_t>(side) * side * (static_cast<std::size_t>(form.bitsAllocated) / 8);
    out.available = pixels->getLength();
    if (Status s = longerRefusal(out.available, frames, out.frameBytes); !s.ok()) return s;
    out.framewise = true;
    return {};
}

Status readFramesTaken(DcmDataset& data, const std::vector<int>& taken, long frames, StoredFrames& out) {
    DcmElement* pixels = nullptr;
    try {
        if (data.findAndGetElement(tagOf(Nm::PixelData), pixels).good() && pixels &&
            readTaken(*pixels, taken, frames, out))
            return {};
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
    out.places.clear();
    out.raw = nullptr;
    out.available = 0;
    return {};
}

Status framesHeld(const StoredFrames& stored, int side, int sampleBits, const std::vector<int>& taken, Status ends) {
    const std::size_t frameBytes = stored.frameBytes;
    const std::size_t rowBytes = static_cast<std::size_t>(side) * (static_cast<std::size_t>(sampleBits) / 8);
    const std::size_t available = stored.available;
    for (const int i : taken) {
        const std::size_t end = (static_cast<std::size_t>(i) + 1) * frameBytes;
        if (end > available) {
            // The first frame, in file order, that the data does not hold whole.
            const std::size_t first = available / frameBytes;
            ends.code = kEndsEarly;
            ends.reason = Reason::PixelDataEnds;
            ends.where.image = static_cast<int>(first) + 1;
            ends.where.row = static_cast<int>((available - first * frameBytes) / rowBytes) + 1;
            return ends;
        }
    }
    return {};
}

void convertFrame(const SampleForm& form, const void* raw, int side, const FrameForm& wanted, std::int16_t* out,
                  CountChanges& changes) {
    const int samples = side * side;
    // A 128 x 128 frame to reduce is converted here first: 32 KiB on the
    // stack, neither allocated nor cleared for every frame.
    std::int16_t whole[128 * 128];
    const bool reduce = side == 128 && wanted.matrix == FrameForm::Matrix::Reduced;
    std::int16_t* target = reduce ? whole : out;
    const bool tenfold = wanted.samples == FrameForm::Samples::Tenfold;
    if (form.bitsAllocated == 16 && form.bitsStored == 16 && !form.rescaled) {
        // The form cameras write: each stored word is the sample's own bits,
        // so the loop needs no mask, sign rule or branch per sample.
        const auto* words = static_cast<const Uint16*>(raw);
        if (tenfold)
            for (int i = 0; i < samples; ++i) target[i] = scaleSample(static_cast<std::int16_t>(words[i]));
        else
            for (int i = 0; i < samples; ++i) target[i] = static_cast<std::int16_t>(words[i]);
        if (reduce) reduceTo64(whole, out);
        return;
    }
    for (int i = 0; i < samples; ++i) {
        const std::uint32_t stored = form.bitsAllocated == 8 ? static_cast<const Uint8*>(raw)[i]
                                                             : static_cast<const Uint16*>(raw)[i];
        const long v = form.value(stored);
        if (form.rescaled) {
            const auto sample = static_cast<float>(static_cast<double>(v) * form.slope + form.intercept);
            target[i] = tenfold ? scaleSample(sample) : countOf(sample, changes);
        } else {
            const auto sample = static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
            target[i] = tenfold ? scaleSample(sample) : sample;
        }
    }
    if (reduce) reduceTo64(whole, out);
}

}  // namespace trevik::dicom
