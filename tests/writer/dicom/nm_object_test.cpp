// The NM object composed from studies built in memory: where each frame
// lands, the geometry, the ungated form, the texts and the UIDs. (What the
// validator says of exports: tests/app/dicom.)
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "dicom/nm_attributes.h"
#include "writer/dicom/nm_object.h"

namespace trevik::dicom {
namespace {

struct Kind {
    int side = 64;
    int divisions = 8;  // 0: ungated
    int frames = 32;
    bool floats = false;
    bool reverse = false;
};

// A study as the camera recorded it: its facts beside its frames.
struct RecordedStudy : StudyFacts, CameraFrames {};

// A study as the camera recorded it, built in memory: frame (d, f) of the
// file holds d * 100 + f in its first sample (the marker) and a varied
// picture elsewhere; the synthesiser's patient facts.
RecordedStudy cameraStudy(const Kind& kind) {
    RecordedStudy study{};
    StudyRecord& r = study.record;
    std::strcpy(r.name, "SAMPLE PATIENT");
    std::strcpy(r.id, "A123-45");
    std::strcpy(r.sex, "M");
    std::strcpy(r.date, "2001.05.14");
    std::strcpy(r.time, "10:23:45");
    std::strcpy(r.tracer, "99mTc");
    r.pixel = kind.side == 128 ? 3.2 : 6.4;
    r.hr = kind.divisions > 0 ? 60 : 0;
    r.division = static_cast<std::int16_t>(kind.divisions);
    study.geometry = {static_cast<std::int16_t>(kind.side), static_cast<std::int16_t>(kind.side), 2};
    study.flags.reverseFrames = kind.reverse;
    study.floatSamples = kind.floats;
    study.layout = {kind.side, kind.divisions > 1 ? kind.divisions : 1, kind.frames};
    study.samples.resize(static_cast<std::size_t>(study.layout.passes) * kind.frames * kind.side * kind.side);
    for (int d = 0; d < study.layout.passes; ++d)
        for (int f = 0; f < kind.frames; ++f) {
            std::int16_t* frame = study.frame(d, f);
            for (int i = 0; i < kind.side * kind.side; ++i)
                frame[i] = static_cast<std::int16_t>((i * 7 + f) % 900 - 100);
            frame[0] = static_cast<std::int16_t>(d * 100 + f);
        }
    return study;
}

std::string text(DcmItem& item, const DcmTagKey& tag) {
    OFString value;
    item.findAndGetOFStringArray(tag, value, true);
    return value.c_str();
}

std::unique_ptr<DcmFileFormat> compose(const RecordedStudy& study, const NmOptions& options = {},
                                       std::vector<std::string>* warnings = nullptr) {
    auto file = std::make_unique<DcmFileFormat>();
    const Status status = composeNm(study, study, options, *file, warnings);
    EXPECT_EQ(status.code, kOk);
    return file;
}

TEST(NmObject, EachFrameLandsWhereItsVectorsSay) {
    for (const bool reverse : {false, true}) {
        const Kind kind{64, 4, 8, false, reverse};
        auto file = compose(cameraStudy(kind));
        DcmDataset& data = *file->getDataset();
        const Uint16 *slots = nullptr, *views = nullptr, *pixels = nullptr;
        unsigned long slotCount = 0, viewCount = 0, sampleCount = 0;
        ASSERT_TRUE(data.findAndGetUint16Array(DCM_TimeSlotVector, slots, &slotCount).good());
        ASSERT_TRUE(data.findAndGetUint16Array(DCM_AngularViewVector, views, &viewCount).good());
        ASSERT_TRUE(data.findAndGetUint16Array(DCM_PixelData, pixels, &sampleCount).good());
        ASSERT_EQ(slotCount, 32u);
        ASSERT_EQ(viewCount, 32u);
        ASSERT_EQ(sampleCount, 32u * 4096);
        for (unsigned long k = 0; k < 32; ++k) {
            const int d = slots[k] - 1;
            const int f = reverse ? kind.frames - views[k] : views[k] - 1;
            EXPECT_EQ(static_cast<std::int16_t>(pixels[k * 4096]), d * 100 + f) << "frame " << k;
        }
    }
}

TEST(NmObject, GeometryIsTheSourcesAndTheUngatedFormHasNoGating) {
    auto large = compose(cameraStudy({128, 8, 32, true, false}));
    DcmDataset& gated = *large->getDataset();
    EXPECT_EQ(text(gated, DCM_PixelSpacing), "3.2\\3.2");  // the source's, not doubled
    EXPECT_EQ(text(gated, DCM_SliceThickness), "6.4");
    EXPECT_EQ(text(gated, DCM_Rows), "128");
    EXPECT_EQ(text(gated, DCM_ImageType), "ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION");

    auto small = compose(cameraStudy({64, 0, 60, false, false}));
    DcmDataset& ungated = *small->getDataset();
    EXPECT_EQ(text(ungated, DCM_ImageType), "ORIGINAL\\PRIMARY\\TOMO\\EMISSION");
    EXPECT_EQ(text(ungated, DCM_FrameIncrementPointer), "(0054,0010)\\(0054,0020)\\(0054,0050)\\(0054,0090)");
    for (const DcmTagKey& tag : {DCM_TimeSlotVector, DCM_RRIntervalVector, DCM_GatedInformationSequence, DCM_HeartRate})
        EXPECT_FALSE(ungated.tagExists(tag)) << tag.toString();
}

// The detector's plane at the start angle (0: behind the patient, 90: at
// the left side, 180: in front), seen from the detector, head up, through
// the centre of rotation.
TEST(NmObject, TheDetectorsPlaneIsTheStartAngles) {
    const RecordedStudy study = cameraStudy({64, 2, 4});
    const struct {
        double angle;
        const char* orientation;
        const char* position;
    } cases[] = {{0, "-1\\0\\0\\0\\0\\-1", "201.6\\0\\201.6"},
                 {90, "0\\1\\0\\0\\0\\-1", "0\\-201.6\\201.6"},
                 {180, "1\\0\\0\\0\\0\\-1", "-201.6\\0\\201.6"}};
    for (const auto& c : cases) {
        NmOptions options;
        options.startAngle = c.angle;
        auto file = compose(study, options);
        DcmItem* detector = nullptr;
        ASSERT_TRUE(file->getDataset()->findAndGetSequenceItem(DCM_DetectorInformationSequence, detector).good());
        EXPECT_EQ(text(*detector, DCM_ImageOrientationPatient), c.orientation) << c.angle;
        EXPECT_EQ(text(*detector, DCM_ImagePositionPatient), c.position) << c.angle;
    }
}

TEST(NmObject, TextsBecomeUtf8WithAQuestionMarkForWhatDoesNotDecode) {
    RecordedStudy study = cameraStudy({64, 2, 4});
    std::strcpy(study.record.name, "\x8E\x52\x93\x63\xFF");
    std::strcpy(study.record.sex, "X");
    std::strcpy(study.record.date, "14/05/2001");
    std::strcpy(study.record.tracer, "Tc-99m");
    std::vector<std::string> warnings;
    auto file = compose(study, {}, &warnings);
    DcmDataset& data = *file->getDataset();
    EXPECT_EQ(text(data, DCM_SpecificCharacterSet), "ISO_IR 192");
    EXPECT_EQ(text(data, DCM_PatientName), "\xE5\xB1\xB1\xE7\x94\xB0?");
    EXPECT_EQ(text(data, DCM_PatientSex), "");
    EXPECT_EQ(text(data, DCM_StudyDate), "");
    EXPECT_EQ(text(data, DCM_ImageComments), "Study Date as recorded: 14/05/2001");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("patient's name"), std::string::npos);
    DcmItem* drug = nullptr;
    ASSERT_TRUE(data.findAndGetSequenceItem(DCM_RadiopharmaceuticalInformationSequence, drug).good());
    EXPECT_EQ(text(*drug, DCM_Radiopharmaceutical), "Tc-99m");
    DcmSequenceOfItems* codes = nullptr;
    ASSERT_TRUE(drug->findAndGetSequence(DCM_RadionuclideCodeSequence, codes).good());
    EXPECT_EQ(codes->card(), 0u);
}

TEST(NmObject, UidsFollowTheContent) {
    const RecordedStudy study = cameraStudy({64, 2, 4});
    auto first = compose(study);  // the same every time: the export tests compare whole files
    NmOptions turned;
    turned.arc = 360;
    auto other = compose(study, turned);
    for (const DcmTagKey& tag : {DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_SOPInstanceUID}) {
        const std::string uid = text(*first->getDataset(), tag);
        EXPECT_EQ(uid.rfind("2.25.", 0), 0u);
        EXPECT_LE(uid.size(), 64u);
    }
    EXPECT_EQ(text(*first->getDataset(), DCM_StudyInstanceUID), text(*other->getDataset(), DCM_StudyInstanceUID));
    EXPECT_NE(text(*first->getDataset(), DCM_SOPInstanceUID), text(*other->getDataset(), DCM_SOPInstanceUID));
    EXPECT_NE(text(*first->getDataset(), DCM_SeriesInstanceUID), text(*other->getDataset(), DCM_SeriesInstanceUID));
    // Without patient ID, date and time two examinations share no study.
    RecordedStudy anonymous = study;
    anonymous.record.id[0] = anonymous.record.date[0] = anonymous.record.time[0] = '\0';
    RecordedStudy another = anonymous;
    another.samples[1] += 1;
    EXPECT_NE(text(*compose(anonymous)->getDataset(), DCM_StudyInstanceUID),
              text(*compose(another)->getDataset(), DCM_StudyInstanceUID));
}

// Every tag of `item` and of the items of its sequences.
void collectTags(DcmItem& item, std::set<DcmTagKey>& tags) {
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* element = item.getElement(i);
        tags.insert(element->getTag());
        if (element->ident() != EVR_SQ) continue;
        auto* sequence = static_cast<DcmSequenceOfItems*>(element);
        for (unsigned long k = 0; k < sequence->card(); ++k) collectTags(*sequence->getItem(k), tags);
    }
}

// The rows of the table marked written are exactly the attributes of the
// table the writer puts into an object that has every optional fact
// (floats, height, weight, comment, heart rate, a name beyond ASCII), one
// with a coded nuclide and one with a tracer of no code: none is
// written without its row's mark, none marked is left out.
TEST(NmObject, TheRowsMarkedWrittenAreExactlyTheTableAttributesWritten) {
    RecordedStudy study = cameraStudy({64, 8, 32, true, false});
    study.record.height = 170;
    study.record.weight = 60;
    std::strcpy(study.record.comment, "rest");
    std::strcpy(study.record.name, "M\xC3\xBCLLER");
    std::set<DcmTagKey> written;
    collectTags(*compose(study)->getDataset(), written);
    std::strcpy(study.record.tracer, "MIBI");
    collectTags(*compose(study)->getDataset(), written);
    for (const NmAttribute& a : nmAttributes())
        EXPECT_EQ(written.count(a.tag) == 1, (a.use & kWritten) != 0) << a.name;
}

}  // namespace
}  // namespace trevik::dicom
