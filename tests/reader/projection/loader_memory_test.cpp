// The loader's one heap allocation failing. This executable replaces the
// non-throwing array new so a test can make the 256 KiB read buffer
// unavailable; it runs apart from the other tests for that reason.
#include <gtest/gtest.h>

#include <memory>
#include <new>

#include "reader/projection/loader.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace {
bool failImageBuffer = false;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (failImageBuffer && size == 256 * 1024) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace trevik {
namespace {

TEST(LoaderMemory, NoImageBufferGivesEightAfterTheFirstHeaderReading) {
    test::TempDir dir;
    const std::string path = dir.file("source.prj");
    synth::buildStudy(synth::StudyPlan{.matrix = 128, .hr = 60, .division = 8, .images = 16, .reverse = true})
        .save(path);
    auto study = std::make_unique<Study>();
    study->flags.reducedMatrix = true;
    study->store.frame(0, 0)[0] = 1234;

    failImageBuffer = true;
    const Status rc = loadStudy(path.c_str(), *study);
    failImageBuffer = false;
    EXPECT_EQ(rc, kNoMemory);
    EXPECT_STREQ(study->record.name, "SAMPLE PATIENT");
    EXPECT_EQ(study->record.frames, 16) << "still the whole-file count";
    EXPECT_EQ(study->geometry.columns, 128);
    EXPECT_TRUE(study->flags.reverseFrames);
    EXPECT_FALSE(study->flags.reducedMatrix);
    EXPECT_EQ(study->store.frame(0, 0)[0], 1234) << "the frame store is unchanged";

    EXPECT_EQ(loadStudy(path.c_str(), *study), kOk) << "and the next load works";
}

}  // namespace
}  // namespace trevik
