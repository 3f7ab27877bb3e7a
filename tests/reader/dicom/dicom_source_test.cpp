// The DICOM source read from objects composed in memory: the sample rules
// (Bits Stored masking and sign extension, 8-bit samples, rescaled values as
// float samples, both frame forms), the pixel data's length and lossy flag,
// and the texts (character sets to ASCII, the name's alphabetic group, date
// and time, the tracer).
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrat.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "reader/dicom/charset.h"
#include "reader/dicom/dicom_source.h"
#include "reader/dicom/jpeg2000.h"

namespace trevik::dicom {
namespace {

// One TOMO frame of `side` x `side` samples, the first ones `samples`,
// the rest 0.
std::unique_ptr<DcmDataset> object(int bits, int stored, int signedness, int side, const std::vector<Uint16>& samples) {
    auto d = std::make_unique<DcmDataset>();
    const std::pair<DcmTagKey, std::string> values[] = {
        {DCM_SOPClassUID, UID_NuclearMedicineImageStorage}, {DCM_ImageType, "ORIGINAL\\PRIMARY\\TOMO\\EMISSION"},
        {DCM_NumberOfFrames, "1"}, {DCM_DetectorVector, "1"}, {DCM_AngularViewVector, "1"},
        {DCM_Rows, std::to_string(side)}, {DCM_Columns, std::to_string(side)}, {DCM_BitsAllocated, std::to_string(bits)},
        {DCM_BitsStored, std::to_string(stored)}, {DCM_HighBit, std::to_string(stored - 1)},
        {DCM_PixelRepresentation, std::to_string(signedness)}};
    for (const auto& [tag, value] : values) d->putAndInsertString(tag, value.c_str());
    auto* pointer = new DcmAttributeTag(DCM_FrameIncrementPointer);
    pointer->putTagVal(DCM_DetectorVector, 0);
    pointer->putTagVal(DCM_AngularViewVector, 1);
    d->insert(pointer);
    std::vector<Uint16> words(static_cast<std::size_t>(side) * side, 0);
    std::copy(samples.begin(), samples.end(), words.begin());
    std::vector<Uint8> bytes(words.begin(), words.end());
    if (bits == 8) d->putAndInsertUint8Array(DCM_PixelData, bytes.data(), bytes.size());
    else d->putAndInsertUint16Array(DCM_PixelData, words.data(), words.size());
    return d;
}

// Keeps the one frame delivered, in whatever side.
struct FrameKeeper : FrameSink {
    std::vector<std::int16_t> frame;
    StudyFacts facts{};  // as begin saw them
    Status begin(const StudyFacts& f, const FrameLayout& layout) override {
        facts = f;
        frame.assign(static_cast<std::size_t>(layout.side) * layout.side, 0);
        return {};
    }
    std::int16_t* slot(int, int) override { return frame.data(); }
    Status stored(int, int) override { return {}; }
};

std::vector<std::int16_t> load(DcmDataset& d, FrameForm form = {}) {
    auto study = std::make_unique<Study>();
    FrameKeeper keeper;
    LoadOptions options;
    options.form = form;
    const Status s = loadDicomDataset(d, *study, keeper, {}, options);
    EXPECT_EQ(s.code, kOk) << statusWords(s);
    return keeper.frame;
}

TEST(DicomSamples, MaskedSignExtendedEightBitAndRescaledAsTheProjectionRulesSay) {
    // 12 of 16 bits, signed: the bits above are dropped, bit 11 is the sign.
    auto twelve = object(16, 12, 1, 64, {0xF801, 0xA7FF, 0x0005});
    std::vector<std::int16_t> f = load(*twelve);
    EXPECT_EQ(f[0], -20470);
    EXPECT_EQ(f[1], 20470);
    EXPECT_EQ(f[2], 50);
    // 8 bits; unsigned 16 bits wrap as a projection file's integers do.
    EXPECT_EQ(load(*object(8, 8, 0, 64, {200}))[0], 2000);
    EXPECT_EQ(load(*object(16, 16, 0, 64, {40000}))[0], 400000 % 65536);
    // 2.5 as a float sample: 25 tenfold, 3 as the camera's count.
    auto rescaled = object(16, 16, 1, 64, {3});
    rescaled->putAndInsertString(DCM_RescaleSlope, "0.5");
    rescaled->putAndInsertString(DCM_RescaleIntercept, "1");
    EXPECT_EQ(load(*rescaled)[0], 25);
    EXPECT_EQ(load(*rescaled, {FrameForm::Matrix::Reduced, FrameForm::Samples::Counts})[0], 3);
    // Values that are no finite number, a slope of 0, or one that takes the
    // stored values past a float's range: refused, never read as 1 and 0.
    for (const auto& [tag, value] : {std::pair{DCM_RescaleSlope, "NaN"}, {DCM_RescaleSlope, "inf"},
                                     {DCM_RescaleSlope, "-Infinity"}, {DCM_RescaleSlope, "0"},
                                     {DCM_RescaleSlope, "1e308"}, {DCM_RescaleSlope, "x"}, {DCM_RescaleIntercept, "nan"},
                                     {DCM_RescaleIntercept, "1e39"}}) {
        auto odd = object(16, 16, 1, 64, {3});
        odd->putAndInsertString(tag, value);
        auto study = std::make_unique<Study>();
        FrameKeeper keeper;
        const Status s = loadDicomDataset(*odd, *study, keeper, {});
        EXPECT_EQ(s.reason, Reason::DicomRescale) << value;
        EXPECT_EQ(s.code, kNotSupported) << value;
    }
    // 128 x 128: summed over 2 x 2 when reduced, kept whole as the source.
    auto large = object(16, 16, 1, 128, {1, 2});
    EXPECT_EQ(load(*large)[0], 30);
    const std::vector<std::int16_t> whole = load(*large, {FrameForm::Matrix::Source, FrameForm::Samples::Counts});
    ASSERT_EQ(whole.size(), 128u * 128u);
    EXPECT_EQ(whole[1], 2);
}

TEST(DicomFacts, TheSinkSeesTheFactsSettledForItsForm) {
    auto large = object(16, 16, 1, 128, {1});
    large->putAndInsertString(DCM_PixelSpacing, "3.2\\3.2");
    for (const auto matrix : {FrameForm::Matrix::Reduced, FrameForm::Matrix::Source}) {
        const bool reduced = matrix == FrameForm::Matrix::Reduced;
        auto study = std::make_unique<Study>();
        FrameKeeper keeper;
        LoadOptions options;
        options.form.matrix = matrix;
        ASSERT_EQ(loadDicomDataset(*large, *study, keeper, {}, options).code, kOk);
        EXPECT_EQ(keeper.facts.geometry.columns, reduced ? 64 : 128);
        EXPECT_EQ(keeper.facts.record.pixel, reduced ? 6.4 : 3.2);
        EXPECT_EQ(keeper.facts.flags.reducedMatrix, reduced);
        EXPECT_EQ(study->record.pixel, keeper.facts.record.pixel) << "the facts stay as the sink saw them";
    }
}

TEST(DicomTexts, DeclaredCharacterSetsBecomeAsciiByTheFixedTable) {
    EXPECT_EQ(asciiOfUtf8("Jos\xC3\xA9 \xC5\x81\xC3\xB3" "d\xC5\xBA"), "Jose Lodz");
    EXPECT_EQ(asciiOfUtf8("\xE5\xB1\xB1\xE7\x94\xB0 \xC3\x86 \xFF"), "__ _ _");
    auto latin = object(16, 16, 1, 64, {});
    latin->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
    latin->putAndInsertString(DCM_PatientName, "M\xFCller^Ren\xE9=^^^");
    latin->putAndInsertString(DCM_StudyDate, "20240105");
    latin->putAndInsertString(DCM_StudyTime, "0930");
    latin->putAndInsertString(DCM_PatientSex, "F");
    auto study = std::make_unique<Study>();
    FrameKeeper keeper;
    ASSERT_EQ(loadDicomDataset(*latin, *study, keeper, {}).code, kOk);
    EXPECT_STREQ(study->record.name, "Muller^Rene");
    // No nuclide named: no tracer (once 99mTc by default).
    EXPECT_EQ(std::string(study->record.date) + " " + study->record.time + " " + study->record.sex + " [" +
                  study->record.tracer + "]",
              "2024.01.05 09:30:00 F []");
    auto utf8 = object(16, 16, 1, 64, {});
    utf8->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    utf8->putAndInsertString(DCM_PatientName, "Yamada^Tar\xC5\x8D=\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E");
    utf8->putAndInsertString(DCM_PatientID, "\xE5\xB1\xB1-1");
    utf8->putAndInsertString(DCM_PatientSex, "\xC3\x89");  // not a code string: no byte beyond ASCII passes
    ASSERT_EQ(loadDicomDataset(*utf8, *study, keeper, {}).code, kOk);
    EXPECT_STREQ(study->record.name, "Yamada^Taro");
    EXPECT_STREQ(study->record.id, "_-1");
    EXPECT_STREQ(study->record.sex, "_");
}

TEST(DicomPixels, DataLongerThanItsFramesOrFlaggedLossyIsRefused) {
    auto study = std::make_unique<Study>();
    FrameKeeper keeper;
    // 8 bits and twice the frame's bytes, once read as its first half.
    auto eight = object(8, 8, 0, 64, {200});
    std::vector<Uint8> bytes(2 * 4096, 0);
    eight->putAndInsertUint8Array(DCM_PixelData, bytes.data(), bytes.size());
    const Status longer = loadDicomDataset(*eight, *study, keeper, {});
    EXPECT_EQ(longer.code, kNotSupported);
    EXPECT_EQ(statusWords(longer),
              "the pixel data holds more than its frames: 8192 bytes, 4096 more than 1 frame of 4096 bytes");
    // Lossy Image Compression 01 refuses even uncompressed data; 00 does not.
    auto flagged = object(16, 16, 0, 64, {1});
    flagged->putAndInsertString(DCM_LossyImageCompression, "00");
    EXPECT_EQ(loadDicomDataset(*flagged, *study, keeper, {}).code, kOk);
    flagged->putAndInsertString(DCM_LossyImageCompression, "01");
    EXPECT_EQ(loadDicomDataset(*flagged, *study, keeper, {}).reason, Reason::DicomLossyFlag);
}

// JPEG 2000 pixel data of `fragments` behind an offset table of `offsets`.
std::unique_ptr<DcmDataset> encapsulated(const std::vector<Uint32>& offsets,
                                         const std::vector<std::vector<Uint8>>& fragments) {
    auto d = std::make_unique<DcmDataset>();
    auto* sequence = new DcmPixelSequence(DcmTag(DCM_PixelSequenceTag));
    auto* table = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
    std::vector<Uint8> bytes;
    for (const Uint32 o : offsets)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<Uint8>(o >> shift));
    table->putUint8Array(bytes.data(), static_cast<Uint32>(bytes.size()));
    sequence->insert(table);
    for (const std::vector<Uint8>& f : fragments) {
        auto* item = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
        item->putUint8Array(f.data(), static_cast<Uint32>(f.size()));
        sequence->insert(item);
    }
    auto* pixels = new DcmPixelData(DCM_PixelData);
    pixels->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, sequence);
    d->insert(pixels);
    return d;
}

TEST(DicomJpeg2000, FramesFoundByTheOffsetTableElseByTheStartOfTheirCodestreams) {
    const std::vector<Uint8> start = {0xFF, 0x4F, 0xFF, 0x51, 1, 2}, rest = {3, 4};
    // Frame 1 in two fragments, frame 2 in one: by the table (offsets 0 and
    // 8 + 6 + 8 + 2), by the codestreams' starts without one or with one
    // that points inside a fragment.
    for (const std::vector<Uint32>& offsets : {std::vector<Uint32>{0, 24}, {}, {0, 20}}) {
        auto d = encapsulated(offsets, {start, rest, start});
        std::vector<std::vector<std::span<const unsigned char>>> frames;
        ASSERT_TRUE(frameFragments(*d, 2, frames).ok()) << offsets.size();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].size(), 2u);
        EXPECT_EQ(frames[1].size(), 1u);
    }
    // No codestream starts the second frame: found by the table alone;
    // without it not decodable. A codestream that is no JPEG 2000 neither.
    std::vector<std::vector<std::span<const unsigned char>>> frames;
    EXPECT_TRUE(frameFragments(*encapsulated({0, 24}, {start, rest, rest}), 2, frames).ok());
    EXPECT_EQ(frameFragments(*encapsulated({}, {start, rest, rest}), 2, frames).reason, Reason::DicomUndecodable);
    std::vector<unsigned char> out(64 * 64 * 2);
    EXPECT_EQ(decodeCodestream(start, {64, 16, false}, out.data()).reason, Reason::DicomUndecodable);
}

TEST(DicomTexts, TracerFromTheNuclidesCodeElseTheRadiopharmaceuticalAsWritten) {
    struct Case {
        const char* code;  // null: an empty Radionuclide Code Sequence
        const char* drug;  // null: no Radiopharmaceutical
        const char* tracer;
    };
    for (const Case& c : {Case{"C-138A9", "Tc99m-MIBI", "201Tl"}, Case{"447553000", nullptr, "177Lu"},
                          Case{"99999", "Tc99m-MIBI", "Tc99m-MIBI"}, Case{nullptr, "Tc99m-MIBI", "Tc99m-MIBI"}}) {
        auto d = object(16, 16, 0, 64, {});
        DcmItem* drug = nullptr;
        ASSERT_TRUE(d->findOrCreateSequenceItem(DCM_RadiopharmaceuticalInformationSequence, drug).good());
        DcmItem* code = nullptr;
        if (c.code) {
            ASSERT_TRUE(drug->findOrCreateSequenceItem(DCM_RadionuclideCodeSequence, code).good());
            code->putAndInsertString(DCM_CodeValue, c.code);
        } else {
            drug->insertEmptyElement(DCM_RadionuclideCodeSequence);
        }
        if (c.drug) drug->putAndInsertString(DCM_Radiopharmaceutical, c.drug);
        auto study = std::make_unique<Study>();
        FrameKeeper keeper;
        ASSERT_EQ(loadDicomDataset(*d, *study, keeper, {}).code, kOk);
        EXPECT_STREQ(study->record.tracer, c.tracer);
    }
}

}  // namespace
}  // namespace trevik::dicom
