// The loader's report: the reason of each failure and, for pixel data that
// ends early, the image and row where it ends, whatever the read loop.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "reader/projection/loader.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik {
namespace {

TEST(LoadReport, PixelDataEndsInTheImageAndRowCountedFromOne) {
    test::TempDir dir;
    const std::string path = dir.file("source.prj");
    for (const int matrix : {64, 128})
        for (const bool floats : {false, true}) {
            const synth::SourceFile whole = synth::buildStudy(
                synth::StudyPlan{.matrix = matrix, .floats = floats, .hr = 60, .division = 2, .images = 4});
            const std::size_t row = static_cast<std::size_t>(matrix) * (floats ? 4 : 2);
            const std::size_t image = row * static_cast<std::size_t>(matrix);
            // Inside a row, exactly at a row's start, and one byte short of the end.
            const struct {
                std::size_t cut;
                int image, row;
            } cases[] = {{2 * image + 12 * row + 5, 3, 13}, {image + 7 * row, 2, 8}, {4 * image - 1, 4, matrix}, {0, 1, 1}};
            for (const auto& c : cases) {
                synth::SourceFile(whole).cut(whole.pixelStart() + c.cut).save(path);
                auto study = std::make_unique<Study>();
                const Status status = loadStudy(path.c_str(), *study);
                const Where& report = status.where;
                ASSERT_EQ(status, kEndsEarly);
                EXPECT_EQ(status.reason, Reason::PixelDataEnds);
                EXPECT_EQ(report.image, c.image) << matrix << floats << " cut " << c.cut;
                EXPECT_EQ(report.row, c.row) << matrix << floats << " cut " << c.cut;
                EXPECT_EQ(report.rows, matrix);
                EXPECT_EQ(report.frames, 2);
                EXPECT_EQ(report.passes, 2);
                EXPECT_EQ(report.imageCount, 4);
            }
            whole.save(path);
            auto study = std::make_unique<Study>();
            const Status status = loadStudy(path.c_str(), *study);
            ASSERT_EQ(status, kOk);
            EXPECT_EQ(status.reason, Reason::Done);
            EXPECT_EQ(status.where.image, 0);
        }
}

// The window expands a translated entry through the same function as the
// table's own words: the arguments in the translation's order, a "%" not
// before a digit kept.
TEST(LoadReport, ATranslatedEntryIsExpandedAsTheTableExpandsItsOwn) {
    Status status = statusOf(Reason::PixelDataEnds);
    status.where.image = 3;
    status.where.row = 13;
    EXPECT_EQ(statusWords(status), "the pixel data ends in image 3, row 13");
    EXPECT_EQ(expandStatusWords("row %2 of image %1, 100%", status), "row 13 of image 3, 100%");
}

}  // namespace
}  // namespace trevik
