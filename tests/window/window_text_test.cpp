// The number and text rules of the window: what a height or weight box
// accepts, how pixel size and thickness are shown, how typed text is cut.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "app/window/window_text.h"

namespace trevik::window {
namespace {

const QString kPoint = QStringLiteral(".");
const QString kComma = QStringLiteral(",");

TEST(WindowText, NumbersThatAreAccepted) {
    struct Case {
        const char* text;
        float value;
    };
    const Case cases[] = {
        {"0", 0.0f},          {" 170 ", 170.0f},  {"+1.5", 1.5f},     {"-2", -2.0f},
        {"5.", 5.0f},         {".5", 0.5f},       {"1e3", 1000.0f},   {"1E-3", 0.001f},
        {"  72.25e+0  ", 72.25f}, {"007", 7.0f},  {"1e-50", 0.0f},    {"1e-99999", 0.0f},
        {"0e99999", 0.0f},    {"3.4028234e38", FLT_MAX},
    };
    for (const Case& c : cases) {
        const auto value = parseFloat(QString::fromUtf8(c.text), kPoint);
        ASSERT_TRUE(value.has_value()) << c.text;
        EXPECT_EQ(*value, c.value) << c.text;
    }
    // Read at extended precision, then narrowed to the nearest float.
    EXPECT_EQ(*parseFloat(QStringLiteral("0.1"), kPoint), 0.1f);
    EXPECT_EQ(*parseFloat(QStringLiteral("16777217"), kPoint), 16777216.0f);
    // The locale's separator, and only it.
    EXPECT_EQ(*parseFloat(QStringLiteral("1,5"), kComma), 1.5f);
}

TEST(WindowText, TextsThatAreNotNumbers) {
    const char* rejected[] = {
        "",     "   ",  "abc",  ".",    "+",     "-",    "e5",     "1e",    "1e+",  "1 0",   "1.5.",
        "\t1",  "1\t",  "1,5",  "0x10", "1e3.5", "inf",  "nan",    "+-1",   "1f",   "1e39",  "-1e39",
        "1e99999", "3.5e38",
    };
    for (const char* text : rejected) EXPECT_FALSE(parseFloat(QString::fromUtf8(text), kPoint)) << text;
    EXPECT_FALSE(parseFloat(QStringLiteral("1.5"), kComma));
    // Digits of other scripts are not digits here.
    EXPECT_FALSE(parseFloat(QStringLiteral("１７０"), kPoint));
}

TEST(WindowText, FloatTextIsGeneralFormWithLocaleSeparator) {
    EXPECT_EQ(floatText(6.4, kPoint), QStringLiteral("6.4"));
    EXPECT_EQ(floatText(0.0, kPoint), QStringLiteral("0"));
    EXPECT_EQ(floatText(12.8, kPoint), QStringLiteral("12.8"));
    EXPECT_EQ(floatText(3.0, kPoint), QStringLiteral("3"));
    EXPECT_EQ(floatText(0.1 + 0.2, kPoint), QStringLiteral("0.3"));  // 15 significant digits
    EXPECT_EQ(floatText(6.4, kComma), QStringLiteral("6,4"));
    EXPECT_EQ(floatText(1234567.5, kComma), QStringLiteral("1234567,5"));  // no grouping
}

TEST(WindowText, Utf8CutKeepsWholeCharacters) {
    const QString text = QStringLiteral("aé日x");  // 1 + 2 + 3 + 1 bytes
    EXPECT_EQ(utf8Cut(text, 100), std::string("a\xC3\xA9\xE6\x97\xA5x"));
    EXPECT_EQ(utf8Cut(text, 7), std::string("a\xC3\xA9\xE6\x97\xA5x"));
    EXPECT_EQ(utf8Cut(text, 6), std::string("a\xC3\xA9\xE6\x97\xA5"));
    EXPECT_EQ(utf8Cut(text, 5), std::string("a\xC3\xA9"));
    EXPECT_EQ(utf8Cut(text, 4), std::string("a\xC3\xA9"));
    EXPECT_EQ(utf8Cut(text, 2), std::string("a"));
    EXPECT_EQ(utf8Cut(text, 0), std::string());
}

TEST(WindowText, RecordTextsReadAsUtf8ElseCp932) {
    EXPECT_EQ(recordText("DOE^JOHN"), QStringLiteral("DOE^JOHN"));
    EXPECT_EQ(recordText("\xE5\xB1\xB1\xE7\x94\xB0"), QStringLiteral("山田"));
    const QString cut = recordText("\xE5\xB1\xB1\xE7\x94");  // cut by its field: UTF-8 still
    EXPECT_TRUE(cut.startsWith(QStringLiteral("山")) && cut.endsWith(QChar(0xFFFD))) << cut.toStdString();
    EXPECT_EQ(recordText("\x8E\x52\x93\x63 \xD4\xCF\xC0\xDE"), QStringLiteral("山田 ﾔﾏﾀﾞ"));
    EXPECT_EQ(recordText("A\xFC\x4C"), QStringLiteral("A\uFFFDL"));  // no CP932 character
}

TEST(WindowText, TypedTextBeyondAsciiBecomesWhatAClinicReads) {
    EXPECT_EQ(typedBytes(TextField::Name, QStringLiteral("DOE JOHN^^"), 49), "DOE JOHN^^");  // ASCII as typed
    EXPECT_EQ(typedBytes(TextField::Name, QStringLiteral("=山田^太郎=やまだ^たろう"), 49), "YAMADA^TAROU");
    EXPECT_EQ(typedBytes(TextField::Name, QStringLiteral("山田^太郎"), 49), "__^__");
    EXPECT_EQ(typedBytes(TextField::Id, QStringLiteral("ＩＤ０４２"), 39), "ID042");
    EXPECT_EQ(typedBytes(TextField::Comment, QStringLiteral("ストレス 負荷"), 79), "SUTORESU __");
    EXPECT_EQ(typedBytes(TextField::Tracer, QStringLiteral("タリウム"), 3), "TAR");
    EXPECT_EQ(writtenToken("A B;\xE5"), QStringLiteral("A_B__"));
}

TEST(WindowText, ProposedOutputReplacesOnlyTheLastExtension) {
    EXPECT_EQ(proposedOutputPath(QStringLiteral("/d/a.b.prj")), QStringLiteral("/d/a.b.gsd"));
    EXPECT_EQ(proposedOutputPath(QStringLiteral("/d.x/rest")), QStringLiteral("/d.x/rest.gsd"));
    EXPECT_EQ(proposedOutputPath(QStringLiteral("/d/.hidden")), QStringLiteral("/d/.hidden.gsd"));
    EXPECT_EQ(proposedOutputPath(QStringLiteral("/d/a.")), QStringLiteral("/d/a.gsd"));
    EXPECT_EQ(proposedOutputPath(QStringLiteral("a.gsd")), QStringLiteral("a.gsd"));
}

TEST(WindowText, ErrorBoxAddsFullStopAfterCharactersAboveIt) {
    EXPECT_EQ(errorBoxText(QStringLiteral("'x' は浮動小数点数ではありません")),
              QStringLiteral("'x' は浮動小数点数ではありません."));
    EXPECT_EQ(errorBoxText(QStringLiteral("ends in a")), QStringLiteral("ends in a."));
    EXPECT_EQ(errorBoxText(QStringLiteral("ends.")), QStringLiteral("ends."));
    EXPECT_EQ(errorBoxText(QStringLiteral("ends!")), QStringLiteral("ends!"));
    EXPECT_EQ(errorBoxText(QString()), QString());
}

}  // namespace
}  // namespace trevik::window
