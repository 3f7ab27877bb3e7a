// The DICOM value forms both ways, the camera's texts as UTF-8, and the
// nuclide codes against the tracer names, the photopeaks against windows.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

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

// Codes as the code systems give them, written here rather than taken from
// the table: the PET radionuclides of context group 4020 (SNOMED CT, as
// DCMTK's dcmsr/cmr/cid4020.h lists them), and the single-photon isotopes a
// camera's objects carry, with their older SNOMED RT codes.
TEST(DicomValues, TheCodeSystemsCodesNameTheirTracers) {
    const std::pair<const char*, const char*> pet[] = {
        {"40565003", "11C"},   {"21576001", "13N"},   {"424875009", "14O"}, {"129504001", "15O"},
        {"77004003", "18F"},   {"71633006", "22Na"},  {"423764008", "38K"}, {"75696008", "45Ti"},
        {"69089000", "52Fe"},  {"37225000", "52Mn"},  {"425364008", "60Cu"}, {"71425003", "61Cu"},
        {"422934004", "62Cu"}, {"65054007", "62Zn"},  {"3932008", "64Cu"},  {"79477007", "66Ga"},
        {"35337001", "68Ga"},  {"53315004", "68Ge"},  {"2705002", "72As"},  {"87437000", "73Se"},
        {"17910003", "75Br"},  {"79523006", "76Br"},  {"86521004", "77Br"}, {"79197006", "82Rb"},
        {"10738001", "86Y"},   {"63360001", "89Zr"},  {"14691008", "90Y"},  {"424079002", "94mTc"},
        {"40937006", "124I"}};
    for (const auto& [code, tracer] : pet) {
        const NuclideCode* nuclide = nuclideOfCode(code);
        ASSERT_NE(nuclide, nullptr) << code;
        EXPECT_STREQ(tracerName(nuclide->tracer), tracer) << code;
    }
    const std::tuple<const char*, const char*, const char*> camera[] = {
        {"72454006", "C-163A8", "99mTc"}, {"60057003", "C-138A9", "201Tl"}, {"77004003", "C-111A1", "18F"}};
    for (const auto& [sct, srt, tracer] : camera) {
        ASSERT_NE(nuclideOfCode(sct), nullptr) << sct;
        EXPECT_EQ(nuclideOfCode(srt), nuclideOfCode(sct)) << srt;
        EXPECT_STREQ(tracerName(nuclideOfCode(sct)->tracer), tracer);
        EXPECT_STREQ(nuclideCode(tracer)->code, sct);  // what the writer writes
    }
    // 44588005 is iodine, a contrast substance: no radionuclide.
    EXPECT_EQ(nuclideOfCode("44588005"), nullptr);
    EXPECT_EQ(nuclideCode("Tc99m"), nullptr);
    EXPECT_EQ(nuclideOfCode(""), nullptr);
}

// Every tracer the study knows has a code, and no two share one.
TEST(DicomValues, EveryTracerHasACodeOfItsOwn) {
    for (int t = 0; t <= static_cast<int>(Tracer::I124); ++t) {
        const NuclideCode* code = nuclideCode(tracerName(static_cast<Tracer>(t)));
        ASSERT_NE(code, nullptr) << tracerName(static_cast<Tracer>(t));
        EXPECT_EQ(static_cast<int>(nuclideOfCode(code->code)->tracer), t);
        EXPECT_EQ(static_cast<int>(nuclideOfCode(code->older)->tracer), t);
    }
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
