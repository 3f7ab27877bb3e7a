#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "reader/projection/element_stream.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik {
namespace {

using synth::SourceFile;

// 0 when the stream's opening is recognised, else 1.
int probeFormat(std::FILE* stream) { return examineFormat(stream).finding == ProbeFinding::Recognised ? 0 : 1; }

// Opens the bytes of `file` as a read stream.
StreamHandle open(const test::TempDir& dir, const SourceFile& file) {
    const std::string path = dir.file("source.prj");
    file.save(path);
    return StreamHandle(std::fopen(path.c_str(), "rb"));
}

TEST(ElementStream, BigEndianReadersReportWhatTheyRead) {
    test::TempDir dir;
    auto s = open(dir, SourceFile(16, false).bytes(std::string_view("\x12\x34\xFF\xFE\x80\x00\x00\x01\x7F", 9)));
    std::FILE* f = s.get();
    ASSERT_EQ(std::fseek(f, 64, SEEK_SET), 0);
    std::int16_t w = 0;
    std::int32_t v = 0;
    EXPECT_EQ(readBE16(w, f), 2);
    EXPECT_EQ(w, 0x1234);
    EXPECT_EQ(readBE16(w, f), 2);
    EXPECT_EQ(w, -2);
    EXPECT_EQ(readBE32(v, f), 4);
    EXPECT_EQ(v, static_cast<std::int32_t>(0x80000001u));
    EXPECT_EQ(readBE32(v, f), 1);  // one byte left
    EXPECT_EQ(readBE16(w, f), 0);
}

TEST(ElementStream, PreambleTakesSampleBitsFromOffset18) {
    test::TempDir dir;
    FilePreamble p{};
    auto a = open(dir, SourceFile(32).preambleWord(8, 0x1111).preambleWord(10, 0x2222).preambleWord(30, 0xABCD));
    EXPECT_EQ(readPreamble(a.get(), p), 64);
    EXPECT_EQ(p.sampleBits, 32);
    EXPECT_EQ(std::ftell(a.get()), 64);

    auto b = open(dir, SourceFile(0x2000));  // file bytes 20 00
    readPreamble(b.get(), p);
    EXPECT_EQ(p.sampleBits, 8192);
}

TEST(ElementStream, ProbeRecognisesOnlyTheTwoOpeningElements) {
    test::TempDir dir;
    auto probe = [&](const SourceFile& f) {
        auto s = open(dir, f);
        const int r = probeFormat(s.get());
        EXPECT_EQ(std::ftell(s.get()), 0) << "the stream must be back at the start";
        // The descriptor's probe agrees, and its offset stays where it was.
        const int fd = ::fileno(s.get());
        ::lseek(fd, 7, SEEK_SET);
        EXPECT_EQ(isProjectionFile(fd), r == 0);
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 7);
        return r;
    };
    EXPECT_EQ(probe(SourceFile().end()), 0);
    // The length of (0000,0000) is not consulted: the second header is at 76.
    EXPECT_EQ(probe(SourceFile(16, false).raw(0, 0, 99, "abcd").raw(0, 1, 4, "wxyz")), 0);
    // The preamble has no influence.
    EXPECT_EQ(probe(SourceFile(32).preambleWord(0, 0xFFFF).preambleWord(62, 0xFFFF)), 0);
    // A first element other than (0000,0000), or a second other than (0000,0001).
    EXPECT_EQ(probe(SourceFile(16, false).raw(0, 1, 4, "abcd").raw(0, 1, 4, "")), 1);
    EXPECT_EQ(probe(SourceFile(16, false).raw(8, 0, 4, "abcd").raw(0, 1, 4, "")), 1);
    EXPECT_EQ(probe(SourceFile(16, false).raw(0, 0, 4, "abcd").raw(0, 2, 4, "")), 1);
    EXPECT_EQ(probe(SourceFile(16, false).raw(0, 0, 4, "abcd").raw(1, 1, 4, "")), 1);
    // Files too short to tell are not recognised: 79 bytes, 64, empty.
    EXPECT_EQ(probe(SourceFile().cut(79)), 1);
    EXPECT_EQ(probe(SourceFile().cut(80)), 0);
    EXPECT_EQ(probe(SourceFile().cut(64)), 1);
    EXPECT_EQ(probe(SourceFile().cut(0)), 1);

    // After the probe, the preamble reads from offset 0 again.
    auto s = open(dir, SourceFile(32).end());
    ASSERT_EQ(probeFormat(s.get()), 0);
    FilePreamble p{};
    EXPECT_EQ(readPreamble(s.get(), p), 64);
    EXPECT_EQ(p.sampleBits, 32);
}

}  // namespace
}  // namespace trevik
