// The stream sink against the writer: fed the frames in file order, it
// writes the bytes writeGsd writes from the store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "study/rules.h"
#include "tests/support/temp_dir.h"
#include "writer/gsd/gsd_stream.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik::test {
namespace {

TEST(GsdStream, WritesTheBytesOfTheStoredStudyForwardReversedAndReduced) {
    TempDir dir;
    auto study = std::make_unique<Study>();
    StudyRecord& r = study->record;
    copyText(r.id, "A1"), copyText(r.name, "STREAM"), r.pixel = 3.2, r.thick = 9.9, r.hr = 60, r.division = 3;
    r.frames = 70 / 3;
    study->geometry.slicePixels = 2;
    for (int i = 0; i < 3 * 64 * FrameStore::kFrameSamples; ++i) study->store.samples[i] = static_cast<std::int16_t>(i * 7);
    const auto original = std::make_unique<Study>(*study);
    for (const bool reversed : {false, true}) {
        for (const int side : {64, 128}) {
            *study = *original;
            study->flags.reverseFrames = reversed;
            study->geometry.columns = study->geometry.rows = static_cast<std::int16_t>(side);
            const std::string streamed = dir.file("streamed.gsd");
            const int fd = ::open(streamed.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            GsdStreamSink sink(fd);
            ASSERT_EQ(settleFacts(*study, FrameForm{}).frames, r.frames);  // as a reader settles them
            ASSERT_TRUE(sink.begin(*study, {64, 3, r.frames}).ok());
            for (int d = 0; d < 3; ++d)
                for (int f = 0; f < r.frames; ++f) {
                    std::memcpy(sink.slot(d, f), study->store.frame(d, f), FrameStore::kFrameSamples * 2);
                    ASSERT_TRUE(sink.stored(d, f).ok());
                }
            ::close(fd);
            ASSERT_EQ(writeGsd(dir.file("stored.gsd").c_str(), *study).code, kOk);
            EXPECT_TRUE(readFile(streamed) == readFile(dir.file("stored.gsd"))) << reversed << " " << side;
            EXPECT_EQ(std::filesystem::file_size(streamed), sink.size());
        }
    }
    // 64 x 64 frames only; an output that cannot be written is the output's failure.
    EXPECT_EQ(GsdStreamSink(-1).begin(*study, {128, 1, 1}).code, kNotSupported);
    const Status s = GsdStreamSink(-1).begin(*study, {64, 1, 1});
    EXPECT_EQ(s.code, kCannotOpen);
    EXPECT_TRUE(s.where.output);
}

}  // namespace
}  // namespace trevik::test
