// Objects rewritten frame by frame for the import and receive tests: the
// pixel data and frame vectors of an exported object changed in code.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace trevik::test {

// The object at `from` changed by `edit` (frames as 16-bit words, the
// number of frames and the side) and saved at `to` in explicit little endian.
inline void rewrite(const std::string& from, const std::string& to,
                    const std::function<void(DcmDataset&, std::vector<Uint16>&, long frames)>& edit) {
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(from.c_str()).good());
    DcmDataset& data = *file.getDataset();
    const Uint16* words = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(data.findAndGetUint16Array(DCM_PixelData, words, &count).good());
    std::vector<Uint16> pixels(words, words + count);
    Sint32 frames = 0;
    data.findAndGetSint32(DCM_NumberOfFrames, frames);
    edit(data, pixels, frames);
    ASSERT_TRUE(data.putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size()).good());
    ASSERT_TRUE(file.saveFile(to.c_str(), EXS_LittleEndianExplicit).good());
}

inline std::vector<Uint16> vectorOf(DcmDataset& data, const DcmTagKey& tag) {
    const Uint16* values = nullptr;
    unsigned long count = 0;
    data.findAndGetUint16Array(tag, values, &count);
    return std::vector<Uint16>(values, values + count);
}
inline void setVector(DcmDataset& data, const DcmTagKey& tag, const std::vector<Uint16>& v) {
    data.putAndInsertUint16Array(tag, v.data(), v.size());
}

// Every frame twice: the copies carry value 2 in `tag`'s vector.
inline void doubleFrames(DcmDataset& data, std::vector<Uint16>& pixels, long frames, const DcmTagKey& tag) {
    const DcmTagKey all[] = {DCM_EnergyWindowVector, DCM_DetectorVector,  DCM_RotationVector,
                             DCM_RRIntervalVector,   DCM_TimeSlotVector,  DCM_AngularViewVector};
    for (const DcmTagKey& vector : all) {
        std::vector<Uint16> v = vectorOf(data, vector);
        v.resize(2 * v.size(), 2);
        if (vector != tag) std::copy_n(v.begin(), frames, v.begin() + frames);
        setVector(data, vector, v);
    }
    pixels.resize(2 * pixels.size(), 7);
    data.putAndInsertString(DCM_NumberOfFrames, std::to_string(2 * frames).c_str());
}

}  // namespace trevik::test
