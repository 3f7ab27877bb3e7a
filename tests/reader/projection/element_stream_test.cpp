#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "reader/projection/element_stream.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik {
namespace {

using synth::SourceFile;

// 0 when the stream's opening is recognised, else 1.
int probeFormat(SourceStream& stream) { return examineFormat(stream).finding == ProbeFinding::Recognised ? 0 : 1; }

// Opens the bytes of `file` as a read stream.
SourceStream open(const test::TempDir& dir, const SourceFile& file) {
    const std::string path = dir.file("source.prj");
    file.save(path);
    return SourceStream(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

TEST(ElementStream, BigEndianReadersReportWhatTheyRead) {
    test::TempDir dir;
    auto f = open(dir, SourceFile(16, false).bytes(std::string_view("\x12\x34\xFF\xFE\x80\x00\x00\x01\x7F", 9)));
    f.seek(64);
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
    EXPECT_EQ(readPreamble(a, p), 64);
    EXPECT_EQ(p.sampleBits, 32);
    EXPECT_EQ(a.tell(), 64);

    auto b = open(dir, SourceFile(0x2000));  // file bytes 20 00
    readPreamble(b, p);
    EXPECT_EQ(p.sampleBits, 8192);
}

TEST(ElementStream, ProbeRecognisesOnlyTheTwoOpeningElements) {
    test::TempDir dir;
    auto probe = [&](const SourceFile& f) {
        auto s = open(dir, f);
        const int r = probeFormat(s);
        EXPECT_EQ(s.tell(), 0) << "the stream must be back at the start";
        // The descriptor's probe agrees, and its offset stays where it was.
        const int fd = s.fd();
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
    ASSERT_EQ(probeFormat(s), 0);
    FilePreamble p{};
    EXPECT_EQ(readPreamble(s, p), 64);
    EXPECT_EQ(p.sampleBits, 32);
}

// The stream's buffer is invisible: any mix of small reads, reads larger
// than the buffer, skips and seeks gives the file's bytes at the position,
// short only at the end of the file, and the descriptor's offset is never
// moved.
TEST(ElementStream, SourceStreamReadsTheFileAtItsPosition) {
    test::TempDir dir;
    std::vector<unsigned char> bytes(10000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
    auto s = open(dir, SourceFile(16, false).bytes(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                                     bytes.size())));
    const std::size_t base = 64;  // the bytes follow the preamble
    ::lseek(s.fd(), 3, SEEK_SET);
    std::vector<unsigned char> got(6000);
    auto expectAt = [&](std::size_t at, std::size_t n, std::size_t expected) {
        s.seek(static_cast<std::int64_t>(base + at));
        ASSERT_EQ(s.read(got.data(), n), expected) << at << " " << n;
        for (std::size_t i = 0; i < expected; ++i) ASSERT_EQ(got[i], bytes[at + i]) << at << " + " << i;
        EXPECT_EQ(s.tell(), static_cast<std::int64_t>(base + at + expected));
    };
    expectAt(0, 2, 2);
    expectAt(4000, 200, 200);     // across the buffer's end
    expectAt(10, 5000, 5000);     // larger than the buffer
    expectAt(4100, 1, 1);         // back into what was read before
    expectAt(9990, 100, 10);      // short at the end of the file
    expectAt(20000, 4, 0);        // beyond it
    s.seek(static_cast<std::int64_t>(base + 100));
    s.skip(900);
    ASSERT_EQ(s.read(got.data(), 3), 3u);
    EXPECT_EQ(got[0], bytes[1000]);
    EXPECT_EQ(s.error(), 0);
    EXPECT_EQ(::lseek(s.fd(), 0, SEEK_CUR), 3);
}

}  // namespace
}  // namespace trevik
