// A camera's TOMO object with six energy windows, built from an exported
// study: two photopeaks of 201Tl and four scatter windows, over two
// detectors; the Frame Increment Pointer lists energy window, detector,
// rotation and angular view. Window w holds the source's frames plus w - 1, so
// that window 1 is the source itself. For the import and the window tests.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcvrat.h>

#include <string>
#include <utility>
#include <vector>

namespace trevik::test {

// The object at `from` with its frames and vectors rewritten so, saved at `to`.
inline bool saveSixWindows(const std::string& from, const std::string& to) {
    const char* kWindows[][3] = {{"TL201-70", "63", "77"},  {"TL201-167", "150", "184"}, {"SC70L", "56", "63"},
                                 {"SC70U", "77", "84"},     {"SC167L", "134", "150"},    {"SC167U", "184", "200"}};
    DcmFileFormat file;
    if (file.loadFile(from.c_str()).bad()) return false;
    DcmDataset& data = *file.getDataset();
    const Uint16* words = nullptr;
    unsigned long count = 0;
    Sint32 frames = 0;
    if (data.findAndGetUint16Array(DCM_PixelData, words, &count).bad() ||
        data.findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 2)
        return false;
    const std::vector<Uint16> pixels(words, words + count);
    const std::size_t side = pixels.size() / static_cast<std::size_t>(frames);
    std::vector<Uint16> all, windows, detectors, rotations, views;
    data.findAndDeleteElement(DCM_EnergyWindowInformationSequence);
    for (int w = 1; w <= 6; ++w) {
        for (Sint32 i = 0; i < frames; ++i) {
            windows.push_back(static_cast<Uint16>(w));
            detectors.push_back(i < frames / 2 ? 1 : 2);
            rotations.push_back(1);
            views.push_back(static_cast<Uint16>(i % (frames / 2) + 1));
            for (std::size_t k = 0; k < side; ++k)
                all.push_back(static_cast<Uint16>(pixels[static_cast<std::size_t>(i) * side + k] + w - 1));
        }
        DcmItem *window = nullptr, *range = nullptr;
        data.findOrCreateSequenceItem(DCM_EnergyWindowInformationSequence, window, w - 1);
        window->putAndInsertString(DCM_EnergyWindowName, kWindows[w - 1][0]);
        window->findOrCreateSequenceItem(DCM_EnergyWindowRangeSequence, range, 0);
        range->putAndInsertString(DCM_EnergyWindowLowerLimit, kWindows[w - 1][1]);
        range->putAndInsertString(DCM_EnergyWindowUpperLimit, kWindows[w - 1][2]);
    }
    for (const auto& [tag, v] : {std::pair{DCM_EnergyWindowVector, &windows}, {DCM_DetectorVector, &detectors},
                                 {DCM_RotationVector, &rotations}, {DCM_AngularViewVector, &views}})
        data.putAndInsertUint16Array(tag, v->data(), v->size());
    auto* pointer = new DcmAttributeTag(DCM_FrameIncrementPointer);
    for (const DcmTagKey& tag : {DCM_EnergyWindowVector, DCM_DetectorVector, DCM_RotationVector, DCM_AngularViewVector})
        pointer->putTagVal(tag, pointer->getVM());
    data.insert(pointer, true);
    data.putAndInsertString(DCM_NumberOfFrames, std::to_string(6 * frames).c_str());
    data.putAndInsertUint16(DCM_NumberOfEnergyWindows, 6);
    data.putAndInsertUint16(DCM_NumberOfDetectors, 2);
    data.putAndInsertUint16Array(DCM_PixelData, all.data(), all.size());
    return file.saveFile(to.c_str(), EXS_LittleEndianExplicit).good();
}

}  // namespace trevik::test
