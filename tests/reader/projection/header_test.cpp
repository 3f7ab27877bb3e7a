#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "reader/projection/header.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik {
namespace {

using synth::SourceFile;

struct Walk {
    HeaderStatus status;
    long position;  // where the stream stands afterwards
};

class HeaderTest : public ::testing::Test {
protected:
    // Reads the header of `file` into `study`.
    Walk walk(const SourceFile& file) {
        const std::string path = dir.file("source.prj");
        file.save(path);
        SourceStream s(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        FilePreamble preamble{};
        const HeaderStatus status = readHeader(s, preamble, *study);
        return {status, static_cast<long>(s.tell())};
    }
    test::TempDir dir;
    std::unique_ptr<Study> study = std::make_unique<Study>();
};

std::string be16(std::uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

TEST_F(HeaderTest, EveryInterpretedElementLandsInItsField) {
    SourceFile f;
    f.element(0x0008, 0x0020, "2001.05.14")
        .element(0x0008, 0x0030, "10:23:45.000")
        .element(0x0010, 0x0010, "SAMPLE PATIENT ")
        .element(0x0010, 0x0020, "A123-45")
        .element(0x0010, 0x0040, "F ")
        .element(0x0018, 0x0030, "201Tl")
        .element(0x0018, 0x0050, "6.4 ")
        .heartRate(72, 16, 12)
        .sliceAndOrder(3, true)
        .be16(0x0028, 0x0010, 64)
        .be16(0x0028, 0x0011, 128)
        .element(0x0028, 0x0030, "3.2\\3.3")
        .be32(0x6B01, 0x1001, 256)
        .element(0x8001, 0x0010, "ignored")
        .end();
    const Walk w = walk(f);
    EXPECT_EQ(w.status, HeaderStatus::Complete);
    EXPECT_EQ(w.position, static_cast<long>(f.pixelStart()));
    const StudyRecord& r = study->record;
    EXPECT_STREQ(r.date, "2001.05.14");
    EXPECT_STREQ(r.time, "10:23:45");
    EXPECT_STREQ(r.name, "SAMPLE PATIENT ");
    EXPECT_STREQ(r.id, "A123-45");
    EXPECT_STREQ(r.sex, "F");
    EXPECT_STREQ(r.tracer, "201Tl");
    EXPECT_EQ(r.thick, 6.4);
    EXPECT_EQ(r.hr, 72);
    EXPECT_EQ(r.division, 16);
    EXPECT_EQ(study->geometry.slicePixels, 3);
    EXPECT_TRUE(study->flags.reverseFrames);
    EXPECT_EQ(study->geometry.rows, 64);
    EXPECT_EQ(study->geometry.columns, 128);
    EXPECT_EQ(r.pixel, 3.2);
    EXPECT_EQ(r.frames, 256);
}

TEST_F(HeaderTest, DefaultsAreSetAndAbsentFieldsKeepTheirValues) {
    StudyRecord& r = study->record;
    copyText(r.name, "EARLIER");
    copyText(r.tracer, "123I");
    copyText(r.sex, "M");
    r.thick = 9;
    r.hr = 5;
    r.division = 4;
    r.pixel = 1.5;
    r.frames = 7;
    study->geometry.rows = 128;
    study->flags.reverseFrames = true;
    EXPECT_EQ(walk(SourceFile().end()).status, HeaderStatus::Complete);
    EXPECT_EQ(r.thick, 0.0);
    EXPECT_EQ(r.hr, 0);
    EXPECT_EQ(r.division, 0);
    EXPECT_STREQ(r.tracer, "99mTc");
    EXPECT_STREQ(r.name, "EARLIER");
    EXPECT_STREQ(r.sex, "M");
    EXPECT_EQ(r.pixel, 1.5);
    EXPECT_EQ(r.frames, 7);
    EXPECT_EQ(study->geometry.rows, 128);
    EXPECT_TRUE(study->flags.reverseFrames) << "the header only ever sets the flag";

    // A (0019,1311) whose byte 20 is not "M" leaves the flag as it was, too.
    EXPECT_EQ(walk(SourceFile().sliceAndOrder(2, false).end()).status, HeaderStatus::Complete);
    EXPECT_TRUE(study->flags.reverseFrames);
    EXPECT_EQ(study->geometry.slicePixels, 2);
}

TEST_F(HeaderTest, TextsAreCutToTheirFieldsAndTheWalkStaysInStep) {
    const std::string longName(60, 'N');
    SourceFile f;
    f.element(0x0010, 0x0010, longName)
        .element(0x0010, 0x0020, std::string(39, 'I'))
        .element(0x0008, 0x0020, "2001.05.14 extra")
        .element(0x0018, 0x0030, std::string(25, 'T'))
        .element(0x0008, 0x0030, "1023")
        .element(0x0010, 0x0040, "")
        .be32(0x6B01, 0x1001, 12)
        .end();
    copyText(study->record.sex, "M");
    EXPECT_EQ(walk(f).status, HeaderStatus::Complete);
    const StudyRecord& r = study->record;
    EXPECT_EQ(std::string(r.name), std::string(49, 'N'));
    EXPECT_EQ(std::string(r.id), std::string(39, 'I'));
    EXPECT_STREQ(r.date, "2001.05.14");
    EXPECT_EQ(std::string(r.tracer), std::string(19, 'T'));
    EXPECT_STREQ(r.time, "1023");
    EXPECT_STREQ(r.sex, "") << "an empty Patient's Sex leaves sex empty";
    EXPECT_EQ(r.frames, 12) << "elements after long texts are still read";
}

TEST_F(HeaderTest, FixedSizeValuesConsumeExactlyTheirLength) {
    StudyRecord& r = study->record;
    // Longer values: the needed bytes come from the start, the rest is skipped.
    SourceFile longer;
    longer.raw(0x0028, 0x0010, 4, be16(64) + "xx")
        .raw(0x0028, 0x0011, 3, be16(128) + "x")
        .raw(0x6B01, 0x1001, 6, std::string("\0\0\1\0zz", 6))
        .heartRate(60, 8, 12)
        .sliceAndOrder(2, true, 30)
        .element(0x0010, 0x0020, "AFTER")
        .end();
    EXPECT_EQ(walk(longer).status, HeaderStatus::Complete);
    EXPECT_EQ(study->geometry.rows, 64);
    EXPECT_EQ(study->geometry.columns, 128);
    EXPECT_EQ(r.frames, 256);
    EXPECT_EQ(r.hr, 60);
    EXPECT_EQ(r.division, 8);
    EXPECT_EQ(study->geometry.slicePixels, 2);
    EXPECT_TRUE(study->flags.reverseFrames);
    EXPECT_STREQ(r.id, "AFTER");

    // Shorter values are skipped whole; their fields keep their values.
    study->flags.reverseFrames = false;
    SourceFile shorter;
    shorter.raw(0x0028, 0x0010, 1, "\x01")
        .raw(0x0028, 0x0011, 0, "")
        .raw(0x6B01, 0x1001, 3, std::string("\0\0\1", 3))
        .heartRate(90, 4, 9)
        .sliceAndOrder(5, true, 20)
        .element(0x0010, 0x0020, "STILL")
        .end();
    EXPECT_EQ(walk(shorter).status, HeaderStatus::Complete);
    EXPECT_EQ(study->geometry.rows, 64);
    EXPECT_EQ(study->geometry.columns, 128);
    EXPECT_EQ(r.frames, 256);
    EXPECT_EQ(r.hr, 0) << "the default, since the short element is skipped";
    EXPECT_EQ(r.division, 0);
    EXPECT_EQ(study->geometry.slicePixels, 2);
    EXPECT_FALSE(study->flags.reverseFrames);
    EXPECT_STREQ(r.id, "STILL");
}

TEST_F(HeaderTest, DecimalTextsTakeTheLeadingNumberOnly) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"6.4 ", 6.4},      {"\t +2.5e1mm", 25.0}, {".5", 0.5},  {"7.", 7.0},     {".", 0.0},
        {"3.2\\3.2", 3.2},  {"1e", 1.0},          {"1e+", 1.0}, {"2E-1", 0.2},   {"inf", 0.0},
        {"nan", 0.0},       {"0x10", 0.0},        {"1e999", 0.0}, {"abc", 0.0},  {"", 0.0},
    };
    for (const Case& c : cases) {
        study->record.pixel = -1;
        EXPECT_EQ(walk(SourceFile().element(0x0028, 0x0030, c.text).end()).status, HeaderStatus::Complete);
        EXPECT_EQ(study->record.pixel, c.value) << '"' << c.text << '"';
    }
    // The number never reaches beyond its value: the digits of the next
    // element's header are not part of it.
    SourceFile f;
    f.raw(0x0018, 0x0050, 2, "12").raw(0x3435, 0x3637, 0, "").end();
    EXPECT_EQ(walk(f).status, HeaderStatus::Complete);
    EXPECT_EQ(study->record.thick, 12.0);
}

TEST_F(HeaderTest, DuplicatesLeaveTheLastOccurrence) {
    SourceFile f;
    f.element(0x0010, 0x0010, "FIRST").be16(0x0028, 0x0010, 64).element(0x0010, 0x0010, "LAST");
    f.be16(0x0028, 0x0010, 128).heartRate(60, 8).heartRate(0, 0).end();
    EXPECT_EQ(walk(f).status, HeaderStatus::Complete);
    EXPECT_STREQ(study->record.name, "LAST");
    EXPECT_EQ(study->geometry.rows, 128);
    EXPECT_EQ(study->record.division, 0);
}

TEST_F(HeaderTest, PixelDataStartsOnTheNextBoundaryStrictlyBehindTheEndElement) {
    for (const auto& [headerEnd, pixels] : {std::pair{1016, 1024}, {1024, 2048}, {1025, 2048}, {1032, 2048}}) {
        SourceFile f;
        f.padHeaderTo(headerEnd).raw(0x6B01, 0x1004, 77, "");  // its length is not consulted
        const Walk w = walk(f);
        EXPECT_EQ(w.status, HeaderStatus::Complete) << headerEnd;
        EXPECT_EQ(w.position, pixels) << headerEnd;
    }
}

TEST_F(HeaderTest, AFileEndingBeforeTheEndElementIsIncomplete) {
    SourceFile whole;
    whole.element(0x0010, 0x0010, "NAME").element(0x0018, 0x0050, "6.4").end();
    const std::size_t endHeader = 64 + 24 + 12 + 11;  // offset of the end element
    // Inside the preamble, an element header, a value, the end header.
    for (std::size_t cut : {std::size_t{10}, std::size_t{70}, std::size_t{86}, std::size_t{98}, endHeader,
                            endHeader + 7}) {
        EXPECT_EQ(walk(SourceFile(whole).cut(cut)).status, HeaderStatus::Incomplete) << cut;
    }
    // A skip past the end of the file.
    EXPECT_EQ(walk(SourceFile().raw(0x0009, 0x0001, 5000, "short")).status, HeaderStatus::Incomplete);
    // The end of the file inside the gap behind the end element is no failure.
    EXPECT_EQ(walk(SourceFile(whole).cut(endHeader + 8)).status, HeaderStatus::Complete);
    EXPECT_EQ(walk(SourceFile(whole).cut(endHeader + 100)).status, HeaderStatus::Complete);
}

TEST_F(HeaderTest, ANegativeLengthIsMalformedExceptOnTheEndElement) {
    EXPECT_EQ(walk(SourceFile().raw(0x0009, 0x0001, -1, "").end()).status, HeaderStatus::Malformed);
    EXPECT_EQ(walk(SourceFile().raw(0x0010, 0x0010, -8, "").end()).status, HeaderStatus::Malformed);
    EXPECT_EQ(walk(SourceFile().raw(0x0028, 0x0010, INT32_MIN, "").end()).status, HeaderStatus::Malformed);
    EXPECT_EQ(walk(SourceFile().raw(0x6B01, 0x1004, -1, "")).status, HeaderStatus::Complete);
    // Whichever the walk meets first decides.
    EXPECT_EQ(walk(SourceFile().raw(0x0009, 0x0001, 9000, "")).status, HeaderStatus::Incomplete);
}

}  // namespace
}  // namespace trevik
