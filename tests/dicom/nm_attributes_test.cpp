// The DICOM vocabulary shared by reader and writer: the NM attribute table
// against DCMTK's dictionary, its VR-driven writing read back, the value
// forms the reader takes in, and the nuclide codes against the tracer names.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dctag.h>
#include <gtest/gtest.h>

#include "dicom/nm_attributes.h"
#include "dicom/nuclide.h"
#include "dicom/values.h"

namespace trevik::dicom {
namespace {

TEST(NmAttributes, EachRowIsItsNameInTagOrderWithTheDictionarysVr) {
    const auto table = nmAttributes();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const NmAttribute& a = table[i];
        EXPECT_EQ(static_cast<std::size_t>(a.id), i) << a.name;
        EXPECT_EQ(&nmAttribute(a.id), &a);
        if (i > 0) {
            EXPECT_LT(table[i - 1].tag, a.tag) << a.name;
        }
        EXPECT_EQ(DcmTag(a.tag).getEVR(), a.vr) << a.name;
        EXPECT_NE(a.use, 0) << a.name;
    }
    EXPECT_EQ(table.back().id, Nm::PixelData);
}

TEST(NmAttributes, IntegersAreWrittenInTheirVrAndReadBack) {
    DcmDataset data;
    ASSERT_TRUE(putInteger(data, Nm::Rows, 128).good());           // US: binary
    ASSERT_TRUE(putInteger(data, Nm::NumberOfFrames, 2048).good());  // IS: text
    ASSERT_TRUE(putDecimal(data, Nm::PixelSpacing, 6.4).good());
    long rows = 0, frames = 0;
    double spacing = 0;
    EXPECT_TRUE(integerOf(data, Nm::Rows, rows) && integerOf(data, Nm::NumberOfFrames, frames));
    EXPECT_EQ(rows * 10000 + frames, 1282048);
    EXPECT_TRUE(decimalOf(data, Nm::PixelSpacing, spacing));
    EXPECT_EQ(textOf(data, Nm::PixelSpacing), "6.4");
    EXPECT_EQ(textOf(data, Nm::HeartRate), "");
    EXPECT_FALSE(integerOf(data, Nm::HeartRate, rows));
}

TEST(DicomValues, DatesTimesAndNamesAsTheRecordKeepsThem) {
    EXPECT_EQ(recordDate("20240105"), "2024.01.05");
    EXPECT_EQ(recordDate("2024.01.05"), "2024.01.05");
    EXPECT_EQ(recordDate("2024-01-05"), "");
    EXPECT_EQ(recordTime("0930"), "09:30:00");
    EXPECT_EQ(recordTime("093015.123"), "09:30:15");
    EXPECT_EQ(recordTime("093"), "");
    EXPECT_EQ(alphabeticGroup("SMITH^^^=\xE5\xB1\xB1"), "SMITH");
    EXPECT_EQ(decimalValue(1.0 / 3.0), "0.333333333333");
}

TEST(DicomValues, EveryNuclideCodeNamesItsTracerBothWays) {
    for (int t = 0; t <= static_cast<int>(Tracer::I124); ++t) {
        const char* name = tracerName(static_cast<Tracer>(t));
        const NuclideCode* code = nuclideCode(name);
        ASSERT_NE(code, nullptr) << name;
        EXPECT_STREQ(tracerName(code->tracer), name);
        EXPECT_EQ(nuclideOfCode(code->code), code);
        EXPECT_EQ(nuclideOfCode(code->older), code);
    }
    EXPECT_EQ(nuclideCode("Tc99m"), nullptr);
    EXPECT_EQ(nuclideOfCode(""), nullptr);
}

TEST(DicomValues, AWindowIsAPhotopeakWindowWhenItHoldsOneOfTheNuclidesPeaks) {
    EXPECT_TRUE(holdsPhotopeak(Tracer::Tc99m, 126, 154));
    EXPECT_FALSE(holdsPhotopeak(Tracer::Tc99m, 110, 125));  // its scatter window
    for (const double peak : {70.0, 135.0, 167.0}) EXPECT_TRUE(holdsPhotopeak(Tracer::Tl201, peak * 0.9, peak * 1.1));
    EXPECT_FALSE(holdsPhotopeak(Tracer::Tl201, 90, 120));
    EXPECT_TRUE(holdsPhotopeak(Tracer::Lu177, 187, 229));
    EXPECT_TRUE(holdsPhotopeak(Tracer::Ga67, 300, 300));  // the bounds belong to the window
    EXPECT_TRUE(photopeaks(Tracer::Y90).empty());
    EXPECT_FALSE(holdsPhotopeak(Tracer::Y90, 0, 3000));
}

}  // namespace
}  // namespace trevik::dicom
