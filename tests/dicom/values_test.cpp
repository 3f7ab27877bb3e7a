// The DICOM value forms both ways, the camera's texts as UTF-8, and the
// nuclide codes against the tracer names, the photopeaks against windows.
#include <gtest/gtest.h>

#include "dicom/nuclide.h"
#include "dicom/text.h"
#include "dicom/values.h"

namespace trevik::dicom {
namespace {

TEST(DicomTexts, TextsBecomeUtf8WithAQuestionMarkForWhatDoesNotDecode) {
    EXPECT_EQ(toUtf8("\xE5\xB1\xB1\xE7\x94\xB0").text, "\xE5\xB1\xB1\xE7\x94\xB0");          // UTF-8 kept
    EXPECT_EQ(toUtf8("\x8E\x52\x93\x63 TARO").text, "\xE5\xB1\xB1\xE7\x94\xB0 TARO");         // CP932
    const ConvertedText broken = toUtf8("A\xFF" "B\\C\x01");
    EXPECT_EQ(broken.text, "A?B?C?");
    EXPECT_TRUE(broken.replaced);
    EXPECT_EQ(toUtf8("a\\b\nc", TextUse::FreeText).text, "a\\b\nc");
    EXPECT_EQ(toUtf8("DOE=JOHN\\X", TextUse::PersonName).text, "DOE?JOHN?X");  // "=" would end the name
    EXPECT_EQ(toUtf8("A=1").text, "A=1");
    EXPECT_EQ(dateValue("2001.05.14"), "20010514");
    EXPECT_EQ(dateValue("2001.02.29"), std::nullopt);
    EXPECT_EQ(dateValue("2001/05/14"), std::nullopt);
    EXPECT_EQ(timeValue("10:23:45"), "102345");
    EXPECT_EQ(timeValue("24:00:00"), std::nullopt);
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
