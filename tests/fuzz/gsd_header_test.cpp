// The header reader that the fuzz target uses to check written files: it
// must read every header the format allows and refuse what it does not.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "tests/fuzz/gsd_header.h"

namespace trevik::test {
namespace {

// The header of a record with every line, as the writer lays it out.
std::string fullHeader(const std::string& date = "2001.05.14") {
    return "qubrix\r\n"
           "id = A123-45;\r\n"
           "name = SAMPLE_PATIENT;\r\n"
           "date = " + date + ";\r\n"
           "time = 10:23:45;\r\n"
           "sex = M;\r\n"
           "height = 165.0000;\r\n"
           "weight =  58.5000;\r\n"
           "tracer = 99mTc;\r\n"
           "comment = rest_study;\r\n"
           "matrix = 64;\r\n"
           "pixel =     6.4000000000;\r\n"
           "thick =     6.4000000000;\r\n"
           "hr = 60;\r\n"
           "division = 8;\r\n"
           "frames = 32;\r\n"
           "order = little;\r\n"
           "\f\r\n";
}

// The same without the optional lines and with an empty sex.
std::string shortHeader(const std::string& date, const std::string& time, const std::string& sex) {
    return "qubrix\r\nid = X;\r\nname = Y;\r\ndate = " + date + ";\r\ntime = " + time + ";\r\nsex = " + sex +
           ";\r\nmatrix = 64;\r\npixel =     1.0000000000;\r\nthick =     0.0000000000;\r\nhr = 0;\r\n"
           "division = 0;\r\nframes = 0;\r\norder = little;\r\n\f\r\n";
}

TEST(GsdHeaderParse, FullHeaderGivesEveryLineInOrderAndTheFirstFrameOffset) {
    const std::string file = fullHeader() + std::string(8192, '\x01');
    const auto header = parseGsdHeader(file);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->size, 302u);
    ASSERT_EQ(header->lines.size(), 16u);
    EXPECT_EQ(header->lines[0].key, "id");
    EXPECT_EQ(header->lines[15].key, "order");
    EXPECT_EQ(*header->find("name"), "SAMPLE_PATIENT");
    EXPECT_EQ(*header->find("weight"), " 58.5000");
    EXPECT_EQ(*header->find("pixel"), "    6.4000000000");
    EXPECT_EQ(*header->find("order"), "little");
    EXPECT_EQ(header->find("missing"), nullptr);
}

TEST(GsdHeaderParse, OptionalLinesMayBeMissingAndRawValuesEmpty) {
    const auto header = parseGsdHeader(shortHeader("", "", ""));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->lines.size(), 12u);
    EXPECT_EQ(header->find("height"), nullptr);
    EXPECT_EQ(header->find("comment"), nullptr);
    EXPECT_EQ(*header->find("sex"), "");
    EXPECT_EQ(*header->find("date"), "");
}

TEST(GsdHeaderParse, RefusesWhatTheWriterNeverProduces) {
    EXPECT_FALSE(parseGsdHeader(""));
    EXPECT_FALSE(parseGsdHeader("qubrix\n" + fullHeader().substr(8)));                 // magic without CR
    std::string noSeparator = fullHeader();
    noSeparator.resize(noSeparator.size() - 3);
    EXPECT_FALSE(parseGsdHeader(noSeparator));
    EXPECT_FALSE(parseGsdHeader(shortHeader("20\n01", "", "")));                         // a control byte
    EXPECT_FALSE(parseGsdHeader(shortHeader("a;b", "", "")));                            // a ";" in a value
    std::string noSemicolon = fullHeader();
    noSemicolon.replace(noSemicolon.find("hr = 60;"), 8, "hr = 60 ");
    EXPECT_FALSE(parseGsdHeader(noSemicolon));
    std::string swapped = fullHeader();
    swapped.replace(swapped.find("hr = 60;"), 8, "hq = 60;");
    EXPECT_FALSE(parseGsdHeader(swapped));
    std::string bareLf = fullHeader();
    bareLf.replace(bareLf.find("matrix = 64;\r\n"), 14, "matrix = 64;\n");
    EXPECT_FALSE(parseGsdHeader(bareLf));
}

TEST(GsdHeaderNumbers, IntegersAsPercentD) {
    EXPECT_EQ(parseGsdInteger("0"), 0);
    EXPECT_EQ(parseGsdInteger("60"), 60);
    EXPECT_EQ(parseGsdInteger("-32768"), -32768);
    EXPECT_EQ(parseGsdInteger("-2147483648"), -2147483648LL);
    for (const char* bad : {"", "-", "+1", "01", "-0x1", " 1", "1 ", "1.0"})
        EXPECT_FALSE(parseGsdInteger(bad)) << bad;
}

TEST(GsdHeaderNumbers, FixedPointWithFillUpToTheWidth) {
    EXPECT_EQ(parseGsdFixed("    6.4000000000", 10, 16), "6.4000000000");
    EXPECT_EQ(parseGsdFixed(" 58.5000", 4, 8), "58.5000");
    EXPECT_EQ(parseGsdFixed("170.0000", 4, 8), "170.0000");
    EXPECT_EQ(parseGsdFixed("-12345678.0000000000", 10, 16), "-12345678.0000000000");
    EXPECT_EQ(parseGsdFixed("             inf", 10, 16), "inf");
    EXPECT_EQ(parseGsdFixed("            -nan", 10, 16), "-nan");
    EXPECT_EQ(parseGsdFixed("   -0.0000000000", 10, 16), "-0.0000000000");
    for (const char* bad : {"6.4000000000", "     6.4000000000", " 12345678.0000000000", "    6.400000000",
                            "   6.40000000000", "    6,4000000000", "     .4000000000", "   06.4000000000",
                            "    6.4000000000 "})
        EXPECT_FALSE(parseGsdFixed(bad, 10, 16)) << bad;
}

TEST(GsdHeaderNumbers, ReferenceFormUsesAFullStopInAnyLocale) {
    EXPECT_EQ(formatGsdFixed(6.4, 10), "6.4000000000");
    EXPECT_EQ(formatGsdFixed(58.5, 4), "58.5000");
    EXPECT_EQ(formatGsdFixed(0.00005, 4), "0.0001");  // the double just above 0.00005
    EXPECT_EQ(formatGsdFixed(1e20, 10), "100000000000000000000.0000000000");
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 not available (localedef)";
    EXPECT_EQ(formatGsdFixed(6.4, 10), "6.4000000000");
    std::setlocale(LC_ALL, "C");
}

TEST(GsdHeaderTexts, SanitizedAsTheWriterDoesAndCutTo79) {
    EXPECT_EQ(sanitizedGsdText("SAMPLE PATIENT"), "SAMPLE_PATIENT");
    EXPECT_EQ(sanitizedGsdText(std::string("a\tb\x7f\x80\xff;=^.-/", 12)), "a_b____=^.-/");
    EXPECT_EQ(sanitizedGsdText(std::string(100, 'x')).size(), 79u);
    EXPECT_EQ(printableBytes(std::string("a\r\n\\", 4)), "a\\x0D\\x0A\\x5C");
}

}  // namespace
}  // namespace trevik::test
