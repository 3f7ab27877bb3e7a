#include "reader/dicom/codestream.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace trevik::dicom {

namespace {

constexpr std::uint16_t kSoc = 0xFF4F, kSiz = 0xFF51, kCod = 0xFF52, kCoc = 0xFF53, kQcd = 0xFF5C, kQcc = 0xFF5D,
                        kSot = 0xFF90, kSod = 0xFF93, kEoc = 0xFFD9;

std::uint32_t big(std::span<const unsigned char> b, std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
    return v;
}

// Where each coding or quantisation segment keeps its byte: the transform
// (0: the irreversible 9-7 wavelet, 1: the reversible 5-3) after Scod, the
// progression, layers and colour transform, and the levels, code-block
// size and style; the quantisation style in the low 5 bits (0: none).
// Offsets count from the segment's first byte after its length; a COC or
// QCC names its component first, in 2 bytes when Csiz exceeds 256.
struct SegmentRule {
    std::uint16_t marker;
    std::size_t offset;  // without the component
    bool component;
    bool quantisation;
};
constexpr SegmentRule kSegments[] = {
    {kCod, 9, false, false},
    {kCoc, 5, true, false},
    {kQcd, 0, false, true},
    {kQcc, 0, true, true},
};

class Walk {
public:
    explicit Walk(std::span<const unsigned char> b) : b_(b) {}

    Status run() {
        if (b_.size() < 2 || big(b_, 0, 2) != kSoc) return undecodable();
        at_ = 2;
        if (Status s = header(false); !s.ok()) return s;
        // The tile-parts, each from its SOT to the SOT's length on; the last
        // may say 0: on to the end.
        while (at_ + 2 <= b_.size() && big(b_, at_, 2) == kSot) {
            const std::size_t start = at_;
            if (at_ + 12 > b_.size() || big(b_, at_ + 2, 2) != 10) return undecodable();
            const std::uint32_t length = big(b_, at_ + 6, 4);
            at_ += 12;
            if (Status s = header(true); !s.ok()) return s;
            if (length == 0) return {};
            if (length < at_ - start || length > b_.size() - start) return undecodable();
            at_ = start + length;
        }
        // EOC, or the end (a fragment's pad byte at most).
        if (at_ + 2 <= b_.size() && big(b_, at_, 2) == kEoc) return {};
        return b_.size() - at_ <= 1 ? Status{} : undecodable();
    }

private:
    static Status undecodable() { return statusOf(Reason::DicomUndecodable); }

    // The marker segments from the position to the first SOT (main header)
    // or SOD (tile-part header), each checked.
    Status header(bool tile) {
        for (;;) {
            if (at_ + 2 > b_.size()) return undecodable();
            const std::uint16_t marker = static_cast<std::uint16_t>(big(b_, at_, 2));
            if (marker < 0xFF30) return undecodable();
            if ((tile && marker == kSod) || (!tile && marker == kSot)) {
                if (tile) at_ += 2;
                return {};
            }
            if (at_ + 4 > b_.size()) return undecodable();
            const std::size_t length = big(b_, at_ + 2, 2);
            if (length < 2 || length > b_.size() - at_ - 2) return undecodable();
            const std::span<const unsigned char> segment = b_.subspan(at_ + 4, length - 2);
            if (marker == kSiz && segment.size() >= 36) components_ = big(segment, 34, 2);
            for (const SegmentRule& r : kSegments) {
                if (r.marker != marker) continue;
                const std::size_t at = r.offset + (r.component ? (components_ > 256 ? 2 : 1) : 0);
                if (at >= segment.size()) return undecodable();
                const bool lossy = r.quantisation ? (segment[at] & 0x1F) != 0 : segment[at] != 1;
                if (lossy) return statusOf(tile ? Reason::DicomLossyTile : Reason::DicomLossy);
            }
            at_ += 2 + length;
        }
    }

    std::span<const unsigned char> b_;
    std::size_t at_ = 0;
    std::uint32_t components_ = 1;
};

// The contiguous codestream box of a JP2 file; empty when there is none.
std::span<const unsigned char> jp2Codestream(std::span<const unsigned char> file) {
    std::size_t at = 0;
    while (file.size() - at >= 8) {
        std::uint64_t length = big(file, at, 4);
        std::size_t head = 8;
        if (length == 1) {
            if (file.size() - at < 16) return {};
            length = std::uint64_t{big(file, at + 8, 4)} << 32 | big(file, at + 12, 4);
            head = 16;
        } else if (length == 0) {
            length = file.size() - at;
        }
        if (length < head || length > file.size() - at) return {};
        if (big(file, at + 4, 4) == 0x6A703263)  // "jp2c"
            return file.subspan(at + head, static_cast<std::size_t>(length) - head);
        at += static_cast<std::size_t>(length);
    }
    return {};
}

}  // namespace

Status checkLossless(std::span<const unsigned char> bytes) {
    constexpr unsigned char kJp2[] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
    const bool jp2 = bytes.size() >= sizeof kJp2 && std::equal(kJp2, kJp2 + sizeof kJp2, bytes.begin());
    return Walk(jp2 ? jp2Codestream(bytes) : bytes).run();
}

}  // namespace trevik::dicom
