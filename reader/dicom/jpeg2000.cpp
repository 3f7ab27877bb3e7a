#include "reader/dicom/jpeg2000.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "reader/dicom/codestream.h"

namespace trevik::dicom {

namespace {

// The codestream as OpenJPEG reads it: from memory, never past its end.
struct Source {
    std::span<const unsigned char> bytes;
    std::size_t at = 0;
};

OPJ_SIZE_T readSource(void* buffer, OPJ_SIZE_T count, void* user) {
    Source& s = *static_cast<Source*>(user);
    const std::size_t n = std::min<std::size_t>(count, s.bytes.size() - s.at);
    if (n == 0) return static_cast<OPJ_SIZE_T>(-1);
    std::memcpy(buffer, s.bytes.data() + s.at, n);
    s.at += n;
    return n;
}

OPJ_OFF_T skipSource(OPJ_OFF_T count, void* user) {
    Source& s = *static_cast<Source*>(user);
    if (count < 0) return -1;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), s.bytes.size() - s.at);
    s.at += n;
    return static_cast<OPJ_OFF_T>(n);
}

OPJ_BOOL seekSource(OPJ_OFF_T position, void* user) {
    Source& s = *static_cast<Source*>(user);
    if (position < 0 || static_cast<std::size_t>(position) > s.bytes.size()) return OPJ_FALSE;
    s.at = static_cast<std::size_t>(position);
    return OPJ_TRUE;
}

void quiet(const char*, void*) {}

struct CodecFree {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamFree {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageFree {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

// A JP2 file starts with its signature box; a raw codestream with SOC, SIZ.
constexpr unsigned char kJp2Signature[] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
constexpr unsigned char kCodestreamStart[] = {0xFF, 0x4F, 0xFF, 0x51};

bool startsWith(std::span<const unsigned char> bytes, std::span<const unsigned char> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool startsFrame(std::span<const unsigned char> fragment) {
    return startsWith(fragment, kJp2Signature) || startsWith(fragment, kCodestreamStart);
}

// Whether the image header describes one component of the frame's size
// whose samples fit the frame's form.
bool fits(const opj_image_t& image, const Jpeg2000Form& form) {
    if (image.numcomps != 1 || !image.comps) return false;
    const opj_image_comp_t& c = image.comps[0];
    const auto side = static_cast<OPJ_UINT32>(form.side);
    return image.x1 - image.x0 == side && image.y1 - image.y0 == side && c.dx == 1 && c.dy == 1 && c.w == side &&
           c.h == side && c.prec >= 1 && c.prec <= static_cast<OPJ_UINT32>(form.bitsAllocated);
}

// The decoded samples stored as the frame's form holds them; false when
// one does not fit.
bool store(const opj_image_comp_t& c, const Jpeg2000Form& form, unsigned char* out) {
    const long low = form.signedSamples ? -(1L << (form.bitsAllocated - 1)) : 0;
    const long high = form.signedSamples ? (1L << (form.bitsAllocated - 1)) - 1 : (1L << form.bitsAllocated) - 1;
    const std::size_t samples = static_cast<std::size_t>(form.side) * form.side;
    for (std::size_t i = 0; i < samples; ++i) {
        const long v = c.data[i];
        if (v < low || v > high) return false;
        if (form.bitsAllocated == 8) {
            out[i] = static_cast<unsigned char>(v);
        } else {
            const auto word = static_cast<std::uint16_t>(v);
            std::memcpy(out + 2 * i, &word, 2);
        }
    }
    return true;
}

// The encapsulated pixel data's fragments, the Basic Offset Table first.
Status pixelItems(DcmDataset& data, std::vector<std::span<const unsigned char>>& items) {
    DcmElement* element = nullptr;
    if (data.findAndGetElement(DCM_PixelData, element).bad() || !element || element->ident() != EVR_PixelData)
        return statusOf(Reason::DicomNoPixelData);
    auto* pixels = static_cast<DcmPixelData*>(element);
    E_TransferSyntax xfer = EXS_Unknown;
    const DcmRepresentationParameter* parameter = nullptr;
    pixels->getOriginalRepresentationKey(xfer, parameter);
    DcmPixelSequence* sequence = nullptr;
    if (pixels->getEncapsulatedRepresentation(xfer, parameter, sequence).bad() || !sequence)
        return statusOf(Reason::DicomUndecodable);
    for (unsigned long i = 0; i < sequence->card(); ++i) {
        DcmPixelItem* item = nullptr;
        Uint8* bytes = nullptr;
        if (sequence->getItem(item, i).bad() || !item) return statusOf(Reason::DicomUndecodable);
        const OFCondition got = item->getUint8Array(bytes);
        if (got == EC_MemoryExhausted) return statusOf(Reason::NoMemory);
        const std::size_t length = got.good() && bytes ? item->getLength() : 0;
        items.emplace_back(bytes, length);
    }
    if (items.empty()) return statusOf(Reason::DicomUndecodable);
    return {};
}

// The frames' first fragments by the Basic Offset Table (its offsets count
// from the first fragment's item tag; each item is 8 bytes and its value);
// empty when the table does not list every frame at a fragment's start.
std::vector<std::size_t> tableStarts(const std::vector<std::span<const unsigned char>>& items, long frames) {
    const std::span<const unsigned char> table = items[0];
    if (table.size() != 4 * static_cast<std::size_t>(frames)) return {};
    std::vector<std::size_t> starts;
    std::size_t fragment = 1, position = 0;
    for (long f = 0; f < frames; ++f) {
        const unsigned char* p = table.data() + 4 * f;
        const std::uint64_t offset = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint64_t>(p[3]) << 24;
        while (fragment < items.size() && position < offset) position += 8 + items[fragment++].size();
        if (fragment >= items.size() || position != offset || (!starts.empty() && starts.back() == fragment))
            return {};
        starts.push_back(fragment);
    }
    return starts;
}

}  // namespace

Status decodeCodestream(std::span<const unsigned char> codestream, const Jpeg2000Form& form, unsigned char* out) {
    const OPJ_CODEC_FORMAT kind = startsWith(codestream, kJp2Signature) ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K;
    const std::unique_ptr<opj_codec_t, CodecFree> codec(opj_create_decompress(kind));
    const std::unique_ptr<opj_stream_t, StreamFree> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
    if (!codec || !stream) return statusOf(Reason::NoMemory);
    opj_set_error_handler(codec.get(), quiet, nullptr);
    opj_set_warning_handler(codec.get(), quiet, nullptr);
    opj_set_info_handler(codec.get(), quiet, nullptr);
    Source source{codestream, 0};
    opj_stream_set_user_data(stream.get(), &source, nullptr);
    opj_stream_set_user_data_length(stream.get(), codestream.size());
    opj_stream_set_read_function(stream.get(), readSource);
    opj_stream_set_skip_function(stream.get(), skipSource);
    opj_stream_set_seek_function(stream.get(), seekSource);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    // Strict: a codestream cut short is an error, not fewer bits of each sample.
    if (!opj_setup_decoder(codec.get(), &parameters) || !opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE))
        return statusOf(Reason::DicomUndecodable);
    opj_image_t* header = nullptr;
    const bool read = opj_read_header(stream.get(), codec.get(), &header);
    const std::unique_ptr<opj_image_t, ImageFree> image(header);
    if (!read || !image || !fits(*image, form)) return statusOf(Reason::DicomUndecodable);
    if (Status s = checkLossless(codestream); !s.ok()) return s;
    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get()))
        return statusOf(Reason::DicomUndecodable);
    if (!fits(*image, form) || !image->comps[0].data || !store(image->comps[0], form, out))
        return statusOf(Reason::DicomUndecodable);
    return {};
}

Status frameFragments(DcmDataset& data, long frames, std::vector<std::vector<std::span<const unsigned char>>>& out) {
    if (frames < 1) return statusOf(Reason::DicomUndecodable);
    std::vector<std::span<const unsigned char>> items;
    if (Status s = pixelItems(data, items); !s.ok()) return s;
    const std::size_t fragments = items.size() - 1;
    std::vector<std::size_t> starts = tableStarts(items, frames);
    if (starts.empty() && fragments == static_cast<std::size_t>(frames))
        for (std::size_t i = 1; i <= fragments; ++i) starts.push_back(i);
    if (starts.empty() && frames == 1 && fragments > 0) starts.push_back(1);
    if (starts.empty()) {
        for (std::size_t i = 1; i <= fragments; ++i)
            if (startsFrame(items[i])) starts.push_back(i);
        if (starts.size() != static_cast<std::size_t>(frames) || starts.front() != 1) starts.clear();
    }
    if (starts.empty()) return statusOf(Reason::DicomUndecodable);
    out.assign(starts.size(), {});
    for (std::size_t f = 0; f < starts.size(); ++f) {
        const std::size_t end = f + 1 < starts.size() ? starts[f + 1] : items.size();
        out[f].assign(items.begin() + static_cast<long>(starts[f]), items.begin() + static_cast<long>(end));
    }
    return {};
}

Status decodeJpeg2000(DcmDataset& data, long frames, const Jpeg2000Form& form, std::vector<unsigned char>& out) {
    std::vector<std::vector<std::span<const unsigned char>>> fragments;
    if (Status s = frameFragments(data, frames, fragments); !s.ok()) return s;
    const std::size_t frameBytes = static_cast<std::size_t>(form.side) * form.side * (form.bitsAllocated / 8);
    out.assign(fragments.size() * frameBytes, 0);
    std::vector<unsigned char> joined;
    for (std::size_t f = 0; f < fragments.size(); ++f) {
        std::span<const unsigned char> codestream = fragments[f].front();
        if (fragments[f].size() > 1) {
            joined.clear();
            for (const std::span<const unsigned char> piece : fragments[f]) joined.insert(joined.end(), piece.begin(), piece.end());
            codestream = joined;
        }
        if (Status s = decodeCodestream(codestream, form, out.data() + f * frameBytes); !s.ok()) return s;
    }
    return {};
}

}  // namespace trevik::dicom
