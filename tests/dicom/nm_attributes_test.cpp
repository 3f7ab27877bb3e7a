// The NM attribute table against DCMTK's dictionary, and its VR-driven
// writing read back.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dctag.h>
#include <gtest/gtest.h>

#include "dicom/nm_attributes.h"

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

}  // namespace
}  // namespace trevik::dicom
