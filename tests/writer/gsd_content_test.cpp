// The bytes of a Gated SPECT data file (Part 4.1).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <locale>
#include <memory>

#include "tests/support/temp_dir.h"
#include "tests/writer/writer_test_util.h"
#include "writer/gsd_format.h"

namespace trevik::test {
namespace {

TEST(GsdContent, WorkedExample) {
    auto study = workedExample();
    const std::string file = writeToString(*study);
    const std::string header =
        "qubrix\r\nid = A123-45;\r\nname = SAMPLE_PATIENT;\r\ndate = 2001.05.14;\r\ntime = 10:23:45;\r\n"
        "sex = M;\r\nheight = 165.0000;\r\nweight =  58.5000;\r\ntracer = 99mTc;\r\ncomment = rest_study;\r\n"
        "matrix = 64;\r\npixel =     6.4000000000;\r\nthick =     6.4000000000;\r\nhr = 60;\r\n"
        "division = 8;\r\nframes = 32;\r\norder = little;\r\n";
    ASSERT_EQ(header.size(), 299u);
    ASSERT_EQ(file.size(), 2097454u);
    EXPECT_EQ(file.substr(0, 302), header + "\f\r\n");
    EXPECT_EQ(file.substr(302), frameBytes(*study, {}));
    EXPECT_EQ(study->record.thick, 6.4);
}

TEST(GsdContent, ThicknessIsRecomputedAndKept) {
    auto study = workedExample();
    study->geometry.slicePixels = 2;
    study->flags.reducedMatrix = true;  // a 128 x 128 source of 3.2 mm pixels
    EXPECT_NE(writeToString(*study).find("\r\nthick =     6.4000000000;\r\n"), std::string::npos);
    EXPECT_EQ(study->record.thick, 6.4);
    study->geometry.slicePixels = 0;
    EXPECT_NE(writeToString(*study).find("\r\nthick =     0.0000000000;\r\n"), std::string::npos);
}

TEST(GsdContent, LineConditions) {
    auto study = workedExample();
    auto& r = study->record;
    r.height = 30.0f, r.weight = 3.0f, r.tracer[0] = '\0', r.comment[0] = '\0', r.sex[0] = '\0';
    std::string file = writeToString(*study);
    for (const char* key : {"height", "weight", "tracer", "comment"}) EXPECT_EQ(file.find(key), std::string::npos);
    EXPECT_NE(file.find("\r\nsex = ;\r\nmatrix = 64;\r\n"), std::string::npos);
    r.height = 30.00001f, copyText(r.tracer, " ");
    file = writeToString(*study);
    EXPECT_NE(file.find("\r\nheight =  30.0000;\r\ntracer = _;\r\nmatrix"), std::string::npos);
}

TEST(GsdContent, SanitizeTextClasses) {
    char out[32];
    sanitizeText("a\tb c\x01\x0d\x0a\x7f\x80\xff^.-/~!", out);
    EXPECT_STREQ(out, "a_b_c______^.-/~!");
    auto study = workedExample();
    std::memset(study->record.comment, 'x', sizeof study->record.comment);  // 80 bytes, no terminator
    EXPECT_NE(writeToString(*study).find("comment = " + std::string(79, 'x') + ";\r\n"), std::string::npos);
}

TEST(GsdContent, NewlineRuleReachesDateAndTime) {
    auto study = workedExample();
    copyText(study->record.date, "2001\n05");
    copyText(study->record.time, "1\r\n2");
    const std::string file = writeToString(*study);
    EXPECT_NE(file.find("\r\ndate = 2001\r\n05;\r\ntime = 1\r\r\n2;\r\n"), std::string::npos);
}

TEST(GsdContent, FrameOrderAndCounts) {
    auto study = workedExample();
    auto& r = study->record;
    r.division = 2, r.frames = 3, study->flags.reverseFrames = true;
    const std::string reversed = writeToString(*study);
    EXPECT_EQ(reversed.substr(reversed.find('\f') + 3),
              frameBytes(*study, {{0, 2}, {0, 1}, {0, 0}, {1, 2}, {1, 1}, {1, 0}}));
    study->flags.reverseFrames = false, r.division = 0;
    const std::string zero = writeToString(*study);
    r.division = 1;
    const std::string one = writeToString(*study);
    EXPECT_NE(zero.find("division = 0;"), std::string::npos);
    EXPECT_EQ(zero.substr(zero.find('\f')), one.substr(one.find('\f')));
    EXPECT_EQ(one.substr(one.find('\f') + 3), frameBytes(*study, {{0, 0}, {0, 1}, {0, 2}}));
    r.frames = 0, r.hr = -1;
    const std::string none = writeToString(*study);
    EXPECT_NE(none.find("\r\nhr = -1;\r\n"), std::string::npos);
    EXPECT_EQ(none.substr(none.size() - 3), "\f\r\n");
}

TEST(GsdContent, FramesBeyondTheStoreAreRefused) {
    TempDir dir;
    auto study = workedExample();
    study->record.division = 2, study->record.frames = 961;  // 64 + 961 > 1024
    EXPECT_EQ(writeGsd(dir.file("x.gsd").c_str(), *study), kCannotWrite);
    EXPECT_FALSE(fileExists(dir.file("x.gsd")));
    EXPECT_EQ(study->record.thick, 1.5);  // untouched
    study->record.frames = 960;
    EXPECT_EQ(writeToString(*study).size(), 303u + 2 * 960 * 8192);
}

TEST(GsdContent, NumbersMatchPrintfInTheCLocale) {
    for (const double v : {0.0, -0.0, 6.4, 58.5, 165.0, 0.00005, 2.5e-5, 123456789.123456789, -7.25, 1e20, 1e300}) {
        char expected[800];
        std::snprintf(expected, sizeof expected, "%16.10f|%8.4f", v, v);
        std::string actual;
        detail::appendFixed(actual, v, 10, 16);
        actual += '|';
        detail::appendFixed(actual, v, 4, 8);
        EXPECT_EQ(actual, expected);
    }
}

TEST(GsdContent, DecimalCommaLocaleChangesNothing) {
    char pixel[400];
    std::snprintf(pixel, sizeof pixel, "pixel = %16.10f;\r\n", 1e300);  // 1e300 whole, in the "C" locale
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 not available (localedef)";
    std::locale::global(std::locale("de_DE.UTF-8"));
    auto study = workedExample();
    study->record.pixel = 1e300;
    const std::string file = writeToString(*study);
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
    EXPECT_NE(file.find("weight =  58.5000;"), std::string::npos);
    EXPECT_GT(std::strlen(pixel), 300u);
    EXPECT_NE(file.find(pixel), std::string::npos);
}

}  // namespace
}  // namespace trevik::test
