// fuzz-dicom-seeds DIRECTORY: writes the seed corpus of fuzz_dicom, small
// NM objects of every kind the DICOM tests build: a name in every character
// set (and two malformed values), gated and ungated, several energy
// windows with their information sequences, every uncompressed encoding,
// deflated and RLE compressed, and sequences nested 16 and 17 deep. 8-bit
// 64 x 64 frames keep each under the fuzzer's input size. Exit code 0, or 1
// when a file cannot be written.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrat.h>
#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dicom/dictionary.h"
#include "tests/reader/dicom/charset_cases.h"

namespace {

struct Shape {
    int windows = 1, slots = 0, views = 2;  // slots 0: TOMO
};

// An NM object of the shape given, one 8-bit frame per (window, slot, view).
void compose(DcmDataset& d, const Shape& s) {
    const bool gated = s.slots > 0;
    const int slots = gated ? s.slots : 1;
    const int frames = s.windows * slots * s.views;
    std::vector<Uint16> windows, detectors, rotations, intervals, slotVector, views;
    for (int w = 1; w <= s.windows; ++w)
        for (int t = 1; t <= slots; ++t)
            for (int v = 1; v <= s.views; ++v) {
                windows.push_back(static_cast<Uint16>(w)), detectors.push_back(1), rotations.push_back(1);
                intervals.push_back(1), slotVector.push_back(static_cast<Uint16>(t)), views.push_back(static_cast<Uint16>(v));
            }
    const std::string type = std::string("ORIGINAL\\PRIMARY\\") + (gated ? "GATED TOMO" : "TOMO") + "\\EMISSION";
    const std::pair<DcmTagKey, std::string> values[] = {
        {DCM_SOPClassUID, UID_NuclearMedicineImageStorage}, {DCM_SOPInstanceUID, "2.25.7"}, {DCM_ImageType, type},
        {DCM_NumberOfFrames, std::to_string(frames)}, {DCM_Rows, "64"}, {DCM_Columns, "64"},
        {DCM_BitsAllocated, "8"}, {DCM_BitsStored, "8"}, {DCM_HighBit, "7"}, {DCM_PixelRepresentation, "0"},
        {DCM_SamplesPerPixel, "1"}, {DCM_PhotometricInterpretation, "MONOCHROME2"}, {DCM_PixelSpacing, "6.4\\6.4"},
        {DCM_SliceThickness, "6.4"}, {DCM_StudyDate, "20240105"}, {DCM_StudyTime, "093000"}, {DCM_HeartRate, "60"},
        {DCM_PatientID, "SEED-1"}, {DCM_PatientSex, "F"}, {DCM_PatientName, "DOE^JANE"}};
    for (const auto& [tag, value] : values) d.putAndInsertString(tag, value.c_str());
    auto* pointer = new DcmAttributeTag(DCM_FrameIncrementPointer);
    const std::vector<std::pair<DcmTagKey, std::vector<Uint16>*>> vectors =
        gated ? std::vector<std::pair<DcmTagKey, std::vector<Uint16>*>>{
                    {DCM_EnergyWindowVector, &windows}, {DCM_DetectorVector, &detectors}, {DCM_RotationVector, &rotations},
                    {DCM_RRIntervalVector, &intervals}, {DCM_TimeSlotVector, &slotVector}, {DCM_AngularViewVector, &views}}
              : std::vector<std::pair<DcmTagKey, std::vector<Uint16>*>>{
                    {DCM_EnergyWindowVector, &windows}, {DCM_DetectorVector, &detectors},
                    {DCM_RotationVector, &rotations}, {DCM_AngularViewVector, &views}};
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        pointer->putTagVal(vectors[i].first, static_cast<unsigned long>(i));
        d.putAndInsertUint16Array(vectors[i].first, vectors[i].second->data(), vectors[i].second->size());
    }
    d.insert(pointer);
    d.putAndInsertString(DCM_NumberOfEnergyWindows, std::to_string(s.windows).c_str());
    // The information sequences a camera writes, two levels deep.
    for (int w = 0; w < s.windows; ++w) {
        DcmItem *window = nullptr, *range = nullptr;
        d.findOrCreateSequenceItem(DCM_EnergyWindowInformationSequence, window, w);
        window->putAndInsertString(DCM_EnergyWindowName, w == 0 ? "PEAK" : "SCATTER");
        window->findOrCreateSequenceItem(DCM_EnergyWindowRangeSequence, range, 0);
        range->putAndInsertString(DCM_EnergyWindowLowerLimit, w == 0 ? "126" : "100");
        range->putAndInsertString(DCM_EnergyWindowUpperLimit, w == 0 ? "154" : "120");
    }
    DcmItem *drug = nullptr, *code = nullptr;
    d.findOrCreateSequenceItem(DCM_RadiopharmaceuticalInformationSequence, drug, 0);
    drug->putAndInsertString(DCM_Radiopharmaceutical, "Tc99m MIBI");
    drug->findOrCreateSequenceItem(DCM_RadionuclideCodeSequence, code, 0);
    code->putAndInsertString(DCM_CodeValue, "44588005");
    code->putAndInsertString(DCM_CodingSchemeDesignator, "SCT");
    std::vector<Uint8> pixels(static_cast<std::size_t>(frames) * 64 * 64);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<Uint8>(i * 7 % 251);
    d.putAndInsertUint8Array(DCM_PixelData, pixels.data(), pixels.size());
}

// Sequences `depth` deep, one item each.
void nest(DcmDataset& d, int depth) {
    DcmItem* item = &d;
    for (int i = 0; i < depth; ++i) {
        DcmItem* next = nullptr;
        item->findOrCreateSequenceItem(DCM_RequestAttributesSequence, next, 0);
        item = next;
    }
    item->putAndInsertString(DCM_RequestedProcedureID, "DEEP");
}

}  // namespace

int main(int argc, char** argv) {
    trevik::dicom::useCompiledDictionary();
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    DcmRLEEncoderRegistration::registerCodecs();
    const std::filesystem::path directory = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    int written = 0;
    auto save = [&](DcmFileFormat& file, const std::string& name, E_TransferSyntax syntax) {
        const std::string path = (directory / name).string();
        if (syntax == EXS_RLELossless && file.getDataset()->chooseRepresentation(syntax, nullptr).bad()) return false;
        if (file.saveFile(path.c_str(), syntax).bad()) {
            std::fprintf(stderr, "fuzz-dicom-seeds: cannot write %s\n", path.c_str());
            return false;
        }
        ++written;
        return true;
    };
    bool ok = true;
    int k = 0;
    for (const trevik::test::CharsetCase& c : trevik::test::charsetCases()) {
        DcmFileFormat file;
        compose(*file.getDataset(), Shape{1, 0, 1});
        file.getDataset()->putAndInsertString(DCM_SpecificCharacterSet, c.declared);
        file.getDataset()->putAndInsertString(DCM_PatientName, c.name);
        ok = save(file, "charset-" + std::to_string(k++) + ".dcm", EXS_LittleEndianExplicit) && ok;
    }
    const std::pair<const char*, E_TransferSyntax> encodings[] = {
        {"explicit-le", EXS_LittleEndianExplicit}, {"implicit-le", EXS_LittleEndianImplicit},
        {"explicit-be", EXS_BigEndianExplicit}, {"deflated", EXS_DeflatedLittleEndianExplicit},
        {"rle", EXS_RLELossless}};
    for (const auto& [name, syntax] : encodings) {
        DcmFileFormat gated;
        compose(*gated.getDataset(), Shape{1, 2, 2});
        ok = save(gated, std::string("gated-") + name + ".dcm", syntax) && ok;
    }
    DcmFileFormat windows;
    compose(*windows.getDataset(), Shape{3, 0, 2});
    ok = save(windows, "three-windows.dcm", EXS_LittleEndianExplicit) && ok;
    for (const int depth : {16, 17}) {
        DcmFileFormat deep;
        compose(*deep.getDataset(), Shape{1, 0, 1});
        nest(*deep.getDataset(), depth);
        ok = save(deep, "nested-" + std::to_string(depth) + ".dcm", EXS_LittleEndianImplicit) && ok;
    }
    std::printf("fuzz-dicom-seeds: %d seed files in %s\n", written, directory.c_str());
    return ok ? 0 : 1;
}
