#include "writer/qc/qc_picture.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace trevik::qc {
namespace {

using trevik::test::readFile;
using trevik::test::TempDir;

// 64 views of a heart that moves two rows down from view 12 on, one gate
// division low.
QcPicture moving() {
    QcPicture p;
    p.title = "moving.prj, PHANTOM^MOVING";
    p.views = 64;
    p.heartRow = 30;
    for (int v = 0; v < p.views; ++v) {
        const double lateral = 32 + 10 * std::sin(v * 3.14159 / 64);
        const double axial = v >= 11 ? 32 : 30;
        for (int x = 0; x < p.side; ++x) {
            p.sinogram.push_back(static_cast<float>(100 * std::exp(-(x - lateral) * (x - lateral) / 40)));
            p.linogram.push_back(static_cast<float>(800 * std::exp(-(x - axial) * (x - axial) / 60)));
        }
        p.axial.push_back(axial);
        p.lateral.push_back(lateral);
    }
    p.gatePercent = {104, 103, 102, 101, 100, 99, 80, 96};  // division 7 low
    p.warnView = 12;
    p.warn = true;
    p.verdict = {"warn: motion at view 12, division 7 low", "largest axial jump 2.0 pixels at view 12 (threshold 1.0)",
                 "lowest division 7 at 80.0 % of the mean (threshold 85 %)"};
    return p;
}

CineFrames cine(int views) {
    CineFrames c;
    c.views = views;
    for (int v = 0; v < views; ++v)
        for (int k = 0; k < c.side * c.side; ++k) c.samples.push_back(static_cast<float>((k + v * 64) % 4096));
    return c;
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(QcPage, ReadsBackAtTheSizeWrittenAndReplacesAPng) {
    TempDir dir;
    const std::string path = dir.file("qc.png");
    ASSERT_TRUE(writeQcPage(path.c_str(), moving()).ok());
    const std::string first = readFile(path);
    QcPicture still = moving();
    still.warnView = -1;
    ASSERT_TRUE(writeQcPage(path.c_str(), still).ok());  // a PNG may replace a PNG
    EXPECT_NE(readFile(path), first);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << image.message;
    EXPECT_EQ(image.width, static_cast<png_uint_32>(kPageWidth));
    EXPECT_EQ(image.height, static_cast<png_uint_32>(kPageHeight));
    png_image_free(&image);
}

TEST(QcPage, NeverReplacesWhatIsNotAPngNorWritesWrongSizes) {
    TempDir dir;
    const std::string notes = dir.file("notes.png");
    writeText(notes, "not a picture");
    EXPECT_FALSE(mayWritePicture(notes.c_str(), PictureKind::Png));
    const Status s = writeQcPage(notes.c_str(), moving());
    EXPECT_EQ(s.reason, Reason::CannotWrite);
    EXPECT_EQ(s.where.error, EEXIST);
    EXPECT_EQ(readFile(notes), "not a picture");

    const std::string gif = dir.file("cine.png");
    ASSERT_TRUE(writeCineGif(gif.c_str(), cine(2)).ok());
    const std::string gifBytes = readFile(gif);
    EXPECT_TRUE(mayWritePicture(gif.c_str(), PictureKind::Gif));
    EXPECT_FALSE(mayWritePicture(gif.c_str(), PictureKind::Png));
    EXPECT_EQ(writeQcPage(gif.c_str(), moving()).where.error, EEXIST);
    EXPECT_EQ(readFile(gif), gifBytes);

    EXPECT_EQ(writeQcPage(dir.path().c_str(), moving()).where.error, EEXIST);  // a directory

    QcPicture cut = moving();
    cut.linogram.pop_back();
    const std::string fresh = dir.file("fresh.png");
    EXPECT_EQ(writeQcPage(fresh.c_str(), cut).where.error, EINVAL);
    EXPECT_FALSE(trevik::test::fileExists(fresh));
}

TEST(QcPage, DrawsAnUngatedStudyWithoutTracksAndValuesOutOfAnyRange) {
    QcPicture p = moving();
    p.gatePercent.clear();
    p.axial.clear();
    p.lateral.clear();
    p.detectors = 2;
    EXPECT_EQ(drawQcPage(p).rgb.size(), static_cast<std::size_t>(kPageWidth) * kPageHeight * 3);

    QcPicture odd = moving();
    odd.gatePercent = {NAN, 1e308, -1e308, 100};
    odd.axial[3] = INFINITY;
    odd.lateral.assign(odd.lateral.size(), NAN);
    odd.sinogram[5] = NAN;
    odd.motionPixels = -1;
    odd.detectors = 1000;
    odd.warnView = 1 << 30;
    odd.verdict.assign(20, std::string(400, '\xff'));
    EXPECT_EQ(drawQcPage(odd).width, kPageWidth);
}

TEST(CineGif, ReadsBackOneLoopingFramePerView) {
    TempDir dir;
    const std::string path = dir.file("cine.gif");
    ASSERT_TRUE(writeCineGif(path.c_str(), cine(12)).ok());
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    ASSERT_NE(gif, nullptr);
    ASSERT_EQ(DGifSlurp(gif), GIF_OK);
    EXPECT_EQ(gif->ImageCount, 12);
    EXPECT_EQ(gif->SWidth, 64 * kCineScale);
    EXPECT_EQ(gif->SHeight, 64 * kCineScale);
    bool loops = false;
    const SavedImage& first = gif->SavedImages[0];
    for (int k = 0; k + 1 < first.ExtensionBlockCount; ++k)
        loops = loops || (first.ExtensionBlocks[k].Function == APPLICATION_EXT_FUNC_CODE &&
                          first.ExtensionBlocks[k].ByteCount == 11 &&
                          std::memcmp(first.ExtensionBlocks[k].Bytes, "NETSCAPE2.0", 11) == 0);
    EXPECT_TRUE(loops);
    GraphicsControlBlock control{};
    ASSERT_EQ(DGifSavedExtensionToGCB(gif, 11, &control), GIF_OK);
    EXPECT_EQ(control.DelayTime, kCineDelayHundredths);
    DGifCloseFile(gif, &error);

    // An independent reader counts the same frames.
    ASSERT_EQ(std::system("identify -version >/dev/null 2>&1"), 0) << "identify (ImageMagick) is not installed";
    const std::string command = "identify " + path + " 2>/dev/null | wc -l";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    int frames = 0;
    EXPECT_EQ(std::fscanf(pipe, "%d", &frames), 1);
    ::pclose(pipe);
    EXPECT_EQ(frames, 12);
}

TEST(CineGif, NeverReplacesWhatIsNotAGif) {
    TempDir dir;
    const std::string path = dir.file("cine.gif");
    ASSERT_TRUE(writeQcPage(path.c_str(), moving()).ok());
    const std::string png = readFile(path);
    EXPECT_EQ(writeCineGif(path.c_str(), cine(3)).where.error, EEXIST);
    EXPECT_EQ(readFile(path), png);
    EXPECT_EQ(writeCineGif(dir.file("none.gif").c_str(), CineFrames{}).where.error, EINVAL);
}

}  // namespace
}  // namespace trevik::qc
