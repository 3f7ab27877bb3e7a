// The walk of a JPEG 2000 codestream's headers over codestreams built
// marker by marker: a coding or quantisation segment that is not lossless
// is found in the main header and in any tile-part header (reached by the
// SOT lengths), inside a JP2 file too; headers that cannot be walked are
// not decodable.
#include "reader/dicom/codestream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace trevik::dicom {
namespace {

using Bytes = std::vector<unsigned char>;

void put(Bytes& b, std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A marker segment: marker, length, content.
Bytes segment(std::uint16_t marker, const Bytes& content) {
    const std::size_t length = content.size() + 2;
    Bytes b(content.size() + 4);
    b[0] = static_cast<unsigned char>(marker >> 8), b[1] = static_cast<unsigned char>(marker);
    b[2] = static_cast<unsigned char>(length >> 8), b[3] = static_cast<unsigned char>(length);
    std::copy(content.begin(), content.end(), b.begin() + 4);
    return b;
}

// SIZ of one 64 x 64 tile of `components` components.
Bytes siz(int components) {
    Bytes c;
    put(c, 0, 2);
    for (std::uint32_t v : {64u, 64u, 0u, 0u, 64u, 64u, 0u, 0u}) put(c, v, 4);
    put(c, static_cast<std::uint32_t>(components), 2);
    for (int i = 0; i < components; ++i) c.insert(c.end(), {15, 1, 1});
    return segment(0xFF51, c);
}
// COD and COC with the wavelet `transform` (1: 5-3), QCD and QCC of `style`.
Bytes cod(int transform) { return segment(0xFF52, {0, 0, 0, 1, 0, 5, 4, 4, 0, static_cast<unsigned char>(transform)}); }
Bytes coc(int transform, bool wide) {
    Bytes c = wide ? Bytes{0, 0} : Bytes{0};
    c.insert(c.end(), {0, 5, 4, 4, 0, static_cast<unsigned char>(transform)});
    return segment(0xFF53, c);
}
Bytes qcd(int style) { return segment(0xFF5C, {static_cast<unsigned char>(0x40 | style), 0x48}); }
Bytes qcc(int style) { return segment(0xFF5D, {0, static_cast<unsigned char>(0x40 | style), 0x48}); }

// A tile-part: SOT with its length (or `length` when given), `header`, SOD, 6 bytes of data.
Bytes tilePart(const Bytes& header, std::uint32_t length = ~0u) {
    Bytes b;
    put(b, 0xFF90, 2);
    put(b, 10, 2);
    put(b, 0, 2);
    put(b, length != ~0u ? length : static_cast<std::uint32_t>(12 + header.size() + 2 + 6), 4);
    b.insert(b.end(), {0, 1});
    b.insert(b.end(), header.begin(), header.end());
    put(b, 0xFF93, 2);
    b.insert(b.end(), {1, 2, 3, 4, 5, 6});
    return b;
}

Bytes codestream(const std::vector<Bytes>& parts, int components = 1) {
    Bytes b{0xFF, 0x4F};
    for (const Bytes& p : {siz(components), cod(1), qcd(0)}) b.insert(b.end(), p.begin(), p.end());
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    put(b, 0xFFD9, 2);
    return b;
}

Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Jpeg2000Headers, EveryCodingAndQuantisationSegmentMustBeLossless) {
    EXPECT_TRUE(checkLossless(codestream({tilePart({}), tilePart(join(cod(1), qcd(0)))})).ok());
    // In the main header (after the first COD and QCD).
    EXPECT_EQ(checkLossless(codestream({cod(0), tilePart({})})).reason, Reason::DicomLossy);
    EXPECT_EQ(checkLossless(codestream({qcc(2), tilePart({})})).reason, Reason::DicomLossy);
    // In the second tile-part's header, or the first's.
    for (const Bytes& header : {cod(0), coc(0, false), qcd(1), qcc(2), join(qcd(0), cod(0))}) {
        const Status s = checkLossless(codestream({tilePart({}), tilePart(header)}));
        EXPECT_EQ(s.reason, Reason::DicomLossyTile);
        EXPECT_EQ(s.code, kNotSupported);
        EXPECT_EQ(checkLossless(codestream({tilePart(header)})).reason, Reason::DicomLossyTile);
    }
    // A COC names its component in two bytes past 256 components.
    EXPECT_TRUE(checkLossless(codestream({tilePart(coc(1, true))}, 300)).ok());
    EXPECT_EQ(checkLossless(codestream({tilePart(coc(0, true))}, 300)).reason, Reason::DicomLossyTile);
    // The last tile-part may run to the end (length 0).
    EXPECT_EQ(checkLossless(codestream({tilePart({}, 0), tilePart(cod(0))})).reason, Reason::Done);
    // Inside a JP2 file: the signature box, then the codestream box.
    const Bytes lossy = codestream({tilePart(cod(0))});
    Bytes jp2{0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    put(jp2, static_cast<std::uint32_t>(lossy.size() + 8), 4);
    jp2.insert(jp2.end(), {'j', 'p', '2', 'c'});
    EXPECT_EQ(checkLossless(join(jp2, lossy)).reason, Reason::DicomLossyTile);
}

TEST(Jpeg2000Headers, HeadersThatCannotBeWalkedAreNotDecodable) {
    const Bytes good = codestream({tilePart({}), tilePart(cod(1))});
    // Cut inside a segment or tile-part: it runs past the end. (Cut after a
    // whole tile-part, or its pad byte, the decoder finds what is missing.)
    const std::size_t firstEnd = good.size() - 2 - tilePart(cod(1)).size();
    for (std::size_t n = 0; n + 2 < good.size(); ++n)
        EXPECT_EQ(checkLossless(Bytes(good.begin(), good.begin() + static_cast<long>(n))).reason,
                  n == firstEnd || n == firstEnd + 1 ? Reason::Done : Reason::DicomUndecodable)
            << n;
    // A tile-part longer than the codestream, or shorter than its header;
    // a segment length below 2; a JP2 file without its codestream box.
    for (const Bytes& bad : {codestream({tilePart({}, 4000)}), codestream({tilePart(cod(1), 14)}),
                             codestream({Bytes{0xFF, 0x64, 0, 1}, tilePart({})}),
                             Bytes{0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A}})
        EXPECT_EQ(checkLossless(bad).reason, Reason::DicomUndecodable);
}

}  // namespace
}  // namespace trevik::dicom
