// One read of an NM object composed in memory: its acquisition facts (the
// detectors and views, the beats, the energy windows and R-R intervals with
// their names and ranges, every coded nuclide, the series), each window
// loaded from that read with its label, the pixel data read once.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrat.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "reader/dicom/dicom_source.h"
#include "reader/dicom/object_read.h"
#include "study/tracer.h"
#include "tests/support/temp_dir.h"

namespace trevik::dicom {
namespace {

using test::TempDir;

constexpr int kWindows = 2, kIntervals = 2, kSlots = 2, kViews = 3;

// A GATED TOMO object of one detector: every (window, interval, slot,
// view) a frame of 64 x 64 whose first and last samples are its index in
// the file, window after window; `interleaved`: the frames in the order
// view, slot, interval, window (with the same samples: their index in
// the window-major order).
std::unique_ptr<DcmDataset> gatedObject(int windows = kWindows, bool interleaved = false) {
    auto d = std::make_unique<DcmDataset>();
    std::vector<Uint16> w, r, t, v, det, pixels;
    for (int i = 0; i < windows * kIntervals * kSlots * kViews; ++i) {
        int k = i;
        const int inner = interleaved ? windows : kViews, second = interleaved ? kIntervals : kSlots;
        const int third = interleaved ? kSlots : kIntervals;
        const int first = k % inner + 1, two = (k /= inner) % second + 1, three = (k /= second) % third + 1;
        const int four = k / third + 1;
        const int a = interleaved ? first : four, b = interleaved ? two : three, s = interleaved ? three : two,
                  view = interleaved ? four : first;
        w.push_back(static_cast<Uint16>(a)), r.push_back(static_cast<Uint16>(b));
        t.push_back(static_cast<Uint16>(s)), v.push_back(static_cast<Uint16>(view)), det.push_back(1);
        std::vector<Uint16> frame(64 * 64, 0);
        const int index = (((a - 1) * kIntervals + b - 1) * kSlots + s - 1) * kViews + view - 1;
        frame.front() = frame.back() = static_cast<Uint16>(index);
        pixels.insert(pixels.end(), frame.begin(), frame.end());
    }
    const std::pair<DcmTagKey, std::string> values[] = {
        {DCM_SOPClassUID, UID_NuclearMedicineImageStorage}, {DCM_ImageType, "ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION"},
        {DCM_NumberOfFrames, std::to_string(w.size())}, {DCM_Rows, "64"}, {DCM_Columns, "64"},
        {DCM_BitsAllocated, "16"}, {DCM_BitsStored, "16"}, {DCM_HighBit, "15"}, {DCM_PixelRepresentation, "0"},
        {DCM_PatientName, "DOE^JANE"}, {DCM_SeriesNumber, "3"}, {DCM_SeriesDescription, "STRESS"},
        {DCM_PixelSpacing, "6.4\\6.4"}};
    for (const auto& [tag, value] : values) d->putAndInsertString(tag, value.c_str());
    auto* pointer = new DcmAttributeTag(DCM_FrameIncrementPointer);
    const std::pair<DcmTagKey, std::vector<Uint16>*> vectors[] = {{DCM_EnergyWindowVector, &w}, {DCM_DetectorVector, &det},
        {DCM_RRIntervalVector, &r}, {DCM_TimeSlotVector, &t}, {DCM_AngularViewVector, &v}};
    for (const auto& [tag, vector] : vectors) {
        d->putAndInsertUint16Array(tag, vector->data(), vector->size());
        pointer->putTagVal(tag, pointer->getVM());
    }
    d->insert(pointer);
    d->putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size());
    const char* names[][3] = {{"TL70", "63", "77"}, {"SCATTER", "100", "120"}};
    for (int a = 0; a < windows && a < 2; ++a) {
        DcmItem *item = nullptr, *range = nullptr;
        d->findOrCreateSequenceItem(DCM_EnergyWindowInformationSequence, item, a);
        item->putAndInsertString(DCM_EnergyWindowName, names[a][0]);
        item->findOrCreateSequenceItem(DCM_EnergyWindowRangeSequence, range, 0);
        range->putAndInsertString(DCM_EnergyWindowLowerLimit, names[a][1]);
        range->putAndInsertString(DCM_EnergyWindowUpperLimit, names[a][2]);
    }
    for (int b = 0; b < kIntervals; ++b) {
        DcmItem *gate = nullptr, *info = nullptr;
        d->findOrCreateSequenceItem(DCM_GatedInformationSequence, gate, b);
        gate->findOrCreateSequenceItem(DCM_DataInformationSequence, info, 0);
        info->putAndInsertString(DCM_LowRRValue, b == 0 ? "600" : "1000");
        info->putAndInsertString(DCM_HighRRValue, b == 0 ? "1000" : "1400");
        info->putAndInsertString(DCM_IntervalsAcquired, "900");
        info->putAndInsertString(DCM_IntervalsRejected, "12");
    }
    // Two items of the radiopharmaceutical: 201Tl, then 99mTc (SNOMED CT).
    for (int i = 0; i < 2; ++i) {
        DcmItem *drug = nullptr, *code = nullptr;
        d->findOrCreateSequenceItem(DCM_RadiopharmaceuticalInformationSequence, drug, i);
        drug->findOrCreateSequenceItem(DCM_RadionuclideCodeSequence, code, 0);
        code->putAndInsertString(DCM_CodeValue, i == 0 ? "60057003" : "72454006");
        code->putAndInsertString(DCM_CodingSchemeDesignator, "SCT");
    }
    return d;
}

// Keeps the first sample of each frame delivered, and the facts begin saw.
struct FirstSamples : FrameSink {
    std::vector<std::int16_t> frames = std::vector<std::int16_t>(64 * 64 * kSlots * kViews, 0);
    std::vector<int> first;
    std::vector<int> last;
    StudyFacts facts{};
    int perDivision = 0;
    Status begin(const StudyFacts& f, const FrameLayout& layout) override {
        facts = f;
        perDivision = layout.frames;
        return {};
    }
    std::int16_t* slot(int d, int f) override { return &frames[static_cast<std::size_t>(d * perDivision + f) * 4096]; }
    Status stored(int d, int f) override {
        first.push_back(frames[static_cast<std::size_t>(d * perDivision + f) * 4096]);
        last.push_back(frames[static_cast<std::size_t>(d * perDivision + f) * 4096 + 4095]);
        return {};
    }
};

TEST(ObjectRead, TheAcquisitionAsTheObjectSaysIt) {
    auto data = gatedObject();
    auto read = std::make_unique<ObjectRead>();
    ASSERT_TRUE(readObject(*data, *read).ok());
    const Acquisition& a = read->facts.acquisition;
    EXPECT_EQ(a.detectors, 1);
    EXPECT_EQ(a.views, kViews);
    EXPECT_TRUE(a.beatsKnown);
    EXPECT_EQ(a.acceptedBeats, 900);
    EXPECT_EQ(a.rejectedBeats, 12);
    ASSERT_EQ(a.energyWindows.size(), 2);
    EXPECT_STREQ(a.energyWindows.entries[1].name, "SCATTER");
    EXPECT_STREQ(a.energyWindows.entries[1].lower, "100");
    EXPECT_STREQ(a.energyWindows.entries[1].upper, "120");
    ASSERT_EQ(a.rrIntervals.size(), 2);
    EXPECT_STREQ(a.rrIntervals.entries[1].lower, "1000");
    EXPECT_STREQ(a.rrIntervals.entries[1].upper, "1400");
    // Every coded nuclide; the tracer line is the first item's.
    ASSERT_EQ(a.nuclideCount, 2);
    EXPECT_EQ(a.nuclides[0], Tracer::Tl201);
    EXPECT_EQ(a.nuclides[1], Tracer::Tc99m);
    EXPECT_STREQ(read->facts.record.tracer, "201Tl");
    EXPECT_STREQ(a.seriesNumber, "3");
    EXPECT_STREQ(a.seriesDescription, "STRESS");
    EXPECT_EQ(read->patientName, "DOE^JANE");

    // An ungated object lists no R-R intervals; more windows than a list
    // holds is refused.
    data->putAndInsertString(DCM_ImageType, "ORIGINAL\\PRIMARY\\TOMO\\EMISSION");
    ASSERT_TRUE(readObject(*data, *read).ok());
    EXPECT_EQ(read->facts.acquisition.rrIntervals.size(), 0);
    auto many = gatedObject(ChoiceList::kMost + 1);
    EXPECT_EQ(readObject(*many, *read).reason, Reason::DicomTooManyChoices);
}

// The frames of (w, r), division after division, the views in order: their
// index in the window-major order.
std::vector<int> framesOf(int w, int r) {
    std::vector<int> want;
    for (int slot = 0; slot < kSlots; ++slot)
        for (int view = 0; view < kViews; ++view)
            want.push_back((((w - 1) * kIntervals + r - 1) * kSlots + slot) * kViews + view);
    return want;
}

// Each load of a file reads only the frames it takes where the pixel data
// is uncompressed little-endian (in runs of frames next to each other in
// the file), the whole data in any other syntax: the same frames each way,
// whether the file is parsed for each load or once for all (as "all" reads
// it), the pixel data noted as read once an object.
TEST(ObjectRead, EachLoadOfAFileTakesItsFramesInEverySyntaxAndOrder) {
    TempDir dir;
    for (const bool interleaved : {false, true}) {
        auto data = gatedObject(kWindows, interleaved);
        data->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4");
        DcmFileFormat file(data.get());
        for (const E_TransferSyntax xfer : {EXS_LittleEndianExplicit, EXS_LittleEndianImplicit, EXS_BigEndianExplicit,
                                            EXS_DeflatedLittleEndianExplicit})
            for (const bool once : {false, true}) {
                const std::string path = dir.file("object.dcm");
                ASSERT_TRUE(file.saveFile(path.c_str(), xfer).good());
                const int pixels = readsOf(ReadStep::Pixels);
                DcmFileFormat parsed;
                auto read = std::make_unique<ObjectRead>();
                for (int w = 1; w <= kWindows; ++w)
                    for (int r = 1; r <= kIntervals; ++r) {
                        if (!once || (w == 1 && r == 1)) {
                            read = std::make_unique<ObjectRead>();
                            ASSERT_TRUE(parseDicomFile(path.c_str(), parsed).ok());
                            ASSERT_TRUE(readObject(*parsed.getDataset(), *read).ok());
                            read->framewise = true;  // as loadDicomStudy and "all" read it
                        }
                        auto study = std::make_unique<Study>();
                        FirstSamples sink;
                        LoadOptions counts;
                        counts.form.samples = FrameForm::Samples::Counts;
                        const Status s = loadRead(*parsed.getDataset(), *read, *study, sink, {w, r}, counts);
                        ASSERT_TRUE(s.ok()) << statusWords(s);
                        const std::string what = std::to_string(interleaved) + " " + std::to_string(xfer) + " " +
                                                 std::to_string(once) + " " + std::to_string(w) + std::to_string(r);
                        EXPECT_EQ(sink.first, framesOf(w, r)) << what;
                        EXPECT_EQ(sink.last, framesOf(w, r)) << what;
                        const bool little = xfer == EXS_LittleEndianExplicit || xfer == EXS_LittleEndianImplicit;
                        EXPECT_EQ(read->stored.framewise, little) << what;
                    }
                EXPECT_EQ(readsOf(ReadStep::Pixels) - pixels, once ? 1 : kWindows * kIntervals);
            }
    }
}

TEST(ObjectRead, EachWindowLoadsFromTheOneReadWithItsLabel) {
    auto data = gatedObject();
    auto read = std::make_unique<ObjectRead>();
    const int names = readsOf(ReadStep::Name), pixels = readsOf(ReadStep::Pixels);
    ASSERT_TRUE(readObject(*data, *read).ok());
    for (int w = 1; w <= kWindows; ++w)
        for (int r = 1; r <= kIntervals; ++r) {
            auto study = std::make_unique<Study>();
            FirstSamples sink;
            LoadOptions counts;
            counts.form.samples = FrameForm::Samples::Counts;
            const Status s = loadRead(*data, *read, *study, sink, {w, r}, counts);
            ASSERT_TRUE(s.ok()) << statusWords(s);
            EXPECT_EQ(sink.first, framesOf(w, r)) << w << " " << r;
            EXPECT_EQ(sink.facts.record.division, kSlots);
            EXPECT_EQ(sink.facts.record.frames, kViews);
            EXPECT_EQ(study->acquisition.energyWindows.size(), 2);
            const std::string label = study->record.comment;
            EXPECT_EQ(label.rfind(w == 1 ? "energy window 1 TL70 63-77 keV, R-R interval " : "energy window 2 SCATTER", 0),
                      0u)
                << label;
        }
    EXPECT_EQ(readsOf(ReadStep::Name) - names, 1);
    EXPECT_EQ(readsOf(ReadStep::Pixels) - pixels, 1);
    // Without a choice an object of several windows is refused, as before.
    auto study = std::make_unique<Study>();
    FirstSamples sink;
    EXPECT_EQ(loadRead(*data, *read, *study, sink, {}, {}).reason, Reason::DicomEnergyWindows);
}

}  // namespace
}  // namespace trevik::dicom
