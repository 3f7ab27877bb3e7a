#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reader/projection/decimal_text.h"

namespace trevik {
namespace {

double parse(const std::string& s) {
    DecimalScanner scanner;
    for (const char c : s)
        if (!scanner.feed(static_cast<unsigned char>(c))) break;
    return scanner.value();
}

TEST(DecimalText, AcceptsExactlyTheDocumentedForm) {
    EXPECT_EQ(parse("6.4"), 6.4);
    EXPECT_EQ(parse(" \t\n\v\f\r-6.4"), -6.4);
    EXPECT_EQ(parse("+.5"), 0.5);
    EXPECT_EQ(parse("7."), 7.0);
    EXPECT_EQ(parse("7.e2"), 700.0);
    EXPECT_EQ(parse(".5e-1"), 0.05);
    EXPECT_EQ(parse("1E3"), 1000.0);
    EXPECT_EQ(parse("1e"), 1.0);
    EXPECT_EQ(parse("1e-"), 1.0);
    EXPECT_EQ(parse("1e+x"), 1.0);
    EXPECT_EQ(parse("12abc"), 12.0);
    EXPECT_EQ(parse("1,5"), 1.0) << "the comma is never a decimal separator";
    EXPECT_EQ(parse("000123.4500"), 123.45);
    EXPECT_TRUE(std::signbit(parse("-0")));

    for (const char* notANumber : {"", " ", ".", "+", "-.", "e5", "inf", "INFINITY", "nan", "-nan", "0x1p3", "\xA0" "5",
                                   "+-1"})
        EXPECT_EQ(parse(notANumber), 0.0) << '"' << notANumber << '"';
    EXPECT_EQ(parse("0x10"), 0.0) << "the number is the 0 before the x";
}

TEST(DecimalText, BeyondTheRangeOfADoubleGivesZero) {
    EXPECT_EQ(parse("1e309"), 0.0);
    EXPECT_EQ(parse("-1e309"), 0.0);
    EXPECT_EQ(parse("1e99999999999999999999"), 0.0);
    EXPECT_EQ(parse("1.7976931348623157e308"), 1.7976931348623157e308);
    EXPECT_EQ(parse(std::string(400, '9')), 0.0);
    EXPECT_EQ(parse("1e-99999999999999999999"), 0.0);
    EXPECT_EQ(parse("2.2250738585072014e-308"), 2.2250738585072014e-308);
}

TEST(DecimalText, RoundsLikeTheCLibraryHoweverLongTheDigits) {
    // Compare against strtod in the C locale for valid inputs of every shape,
    // including more significant digits than a double can tell apart.
    std::setlocale(LC_NUMERIC, "C");
    const std::string halfway = "9007199254740993";  // 2^53 + 1: exactly between two doubles
    const std::string cases[] = {
        halfway,
        halfway + std::string(900, '0') + "1" + "e-900",
        "0." + std::string(500, '0') + "123456789e500",
        std::string(350, '1') + "e-300",
        "1." + std::string(1000, '3'),
        "0.1000000000000000055511151231257827021181583404541015625",
        "0.1000000000000000055511151231257827021181583404541015626",
        "4.9e-324",
        "123456789012345678901234567890",
    };
    for (const std::string& c : cases) EXPECT_EQ(parse(c), std::strtod(c.c_str(), nullptr)) << c.substr(0, 40);
}

}  // namespace
}  // namespace trevik
