// The NM attribute table against DCMTK's dictionary, and its VR-driven
// writing read back.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dctag.h>
#include <gtest/gtest.h>

#include <cstring>

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

// A row's accessors belong to its marks: a fact read only where the reader
// reads the row, written only where the writer writes it.
TEST(NmAttributes, FactsAreBoundWhereTheRowsAreMarked) {
    int read = 0, written = 0;
    for (const NmAttribute& a : nmAttributes()) {
        if (!a.fact) continue;
        EXPECT_NE(a.fact->name, nullptr);
        if (a.fact->read) {
            EXPECT_TRUE(a.use & kRead) << a.name;
            ++read;
        }
        if (a.fact->write) {
            EXPECT_TRUE(a.use & kWritten) << a.name;
            ++written;
        }
    }
    EXPECT_GE(read, 9);
    EXPECT_GE(written, 8);
}

// Reads every bound fact of `data` as the reader does, in tag order.
StudyFacts readBound(DcmItem& data) {
    StudyFacts facts{};
    for (const NmAttribute& a : nmAttributes())
        if ((a.use & kRead) && a.fact && a.fact->read) a.fact->read(valueOf(data, a.id), facts);
    return facts;
}

TEST(NmAttributes, TheBoundFactsReadAnObjectsValues) {
    DcmDataset data;
    ASSERT_TRUE(putText(data, Nm::StudyDate, "20240105").good());
    ASSERT_TRUE(putText(data, Nm::StudyTime, "0930").good());
    ASSERT_TRUE(putText(data, Nm::PatientSex, "F").good());
    ASSERT_TRUE(putText(data, Nm::HeartRate, "72").good());
    ASSERT_TRUE(putText(data, Nm::SliceThickness, "12.8").good());  // before Pixel Spacing in tag order
    ASSERT_TRUE(putText(data, Nm::PixelSpacing, "6.4\\6.4").good());
    ASSERT_TRUE(putText(data, Nm::SeriesNumber, "7").good());
    ASSERT_TRUE(putText(data, Nm::PatientName, "DOE^JANE\\OTHER").good());
    StudyFacts f = readBound(data);
    EXPECT_STREQ(f.record.date, "2024.01.05");
    EXPECT_STREQ(f.record.time, "09:30:00");
    EXPECT_STREQ(f.record.sex, "F");
    EXPECT_EQ(f.record.hr, 72);
    EXPECT_EQ(f.record.pixel, 6.4);
    EXPECT_EQ(f.record.thick, 12.8);
    EXPECT_EQ(f.geometry.slicePixels, 2);
    EXPECT_STREQ(f.acquisition.seriesNumber, "7");
    EXPECT_STREQ(f.record.name, "DOE^JANE");  // the first name

    // Out of range, not ASCII, absent.
    ASSERT_TRUE(putText(data, Nm::HeartRate, "40000").good());
    ASSERT_TRUE(putText(data, Nm::PatientSex, "\xC3\x9C").good());
    ASSERT_TRUE(data.findAndDeleteElement(tagOf(Nm::PixelSpacing)).good());
    f = readBound(data);
    EXPECT_EQ(f.record.hr, 0);
    EXPECT_STREQ(f.record.sex, "_");
    EXPECT_EQ(f.record.pixel, 0.0);
    EXPECT_EQ(f.geometry.slicePixels, 1);
}

// What the writer writes of the facts reads back as the same facts.
TEST(NmAttributes, TheBoundFactsWrittenReadBackTheSame) {
    StudyFacts f{};
    std::strcpy(f.record.date, "2001.05.14");
    std::strcpy(f.record.time, "10:23:45");
    std::strcpy(f.record.sex, "M");
    f.record.hr = 60;
    f.record.division = 8;
    f.record.pixel = 6.4;
    f.record.thick = 12.8;
    f.geometry.slicePixels = 2;
    DcmDataset data;
    for (const NmAttribute& a : nmAttributes())
        if (a.fact && a.fact->write)
            if (const auto value = a.fact->write(f)) {
                ASSERT_TRUE(putText(data, a.id, *value).good()) << a.name;
            }
    ASSERT_TRUE(putText(data, Nm::PixelSpacing, "6.4").good());  // the frames' code writes it
    const StudyFacts back = readBound(data);
    EXPECT_STREQ(back.record.date, f.record.date);
    EXPECT_STREQ(back.record.time, f.record.time);
    EXPECT_STREQ(back.record.sex, f.record.sex);
    EXPECT_EQ(back.record.hr, f.record.hr);
    EXPECT_EQ(back.record.thick, f.record.thick);
    EXPECT_EQ(back.geometry.slicePixels, f.geometry.slicePixels);
    EXPECT_EQ(textOf(data, Nm::ImageType, 2), "GATED TOMO");
    EXPECT_FALSE(data.tagExists(tagOf(Nm::PatientSize)));  // no height recorded: none written
}

}  // namespace
}  // namespace trevik::dicom
