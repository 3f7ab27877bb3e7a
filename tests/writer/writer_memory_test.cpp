// The writer running out of memory. This executable replaces the throwing
// operator new so that a test can make any allocation fail; it runs apart
// from the other tests for that reason.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>

#include "tests/support/temp_dir.h"
#include "writer/gsd_writer.h"

namespace {
long allocationsLeft = -1;  // the allocations that still succeed; -1: all
}

void* operator new(std::size_t size) {
    if (allocationsLeft == 0) throw std::bad_alloc();
    if (allocationsLeft > 0) --allocationsLeft;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace trevik {
namespace {

TEST(WriterMemory, NoMemoryAtAnyAllocationGivesEightAndLeavesTheOldFileAlone) {
    test::TempDir dir;
    const std::string out = dir.file("out.gsd");
    std::ofstream(out) << "old";
    auto study = std::make_unique<Study>();
    study->record.division = 1, study->record.frames = 2;

    long failAt = 0;
    for (;; ++failAt) {
        WriteFailure why;
        allocationsLeft = failAt;
        const WriteResult result = writeGsd(out.c_str(), *study, &why);
        allocationsLeft = -1;
        if (result == kWritten) break;
        EXPECT_EQ(result, kWriteNoMemory) << "allocation " << failAt;
        EXPECT_EQ(why.error, ENOMEM);
        EXPECT_EQ(test::readFile(out), "old") << "allocation " << failAt;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "allocation " << failAt;
    }
    EXPECT_GE(failAt, 3) << "the writer allocates its paths and its header";
    EXPECT_NE(test::readFile(out), "old");
}

}  // namespace
}  // namespace trevik
