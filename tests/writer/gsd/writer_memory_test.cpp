// The writer running out of memory. This executable replaces the throwing
// operator new so that any allocation can be made to fail; it runs apart
// from the other tests for that reason.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>

#include "tests/support/temp_dir.h"
#include "writer/gsd/gsd_writer.h"

namespace {
long allocationsLeft = -1;  // the allocations that still succeed; -1: all
}

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (allocationsLeft == 0) throw std::bad_alloc();
    if (allocationsLeft > 0) --allocationsLeft;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
// Not inlined, so the compiler does not mistake the pairing of new with free.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST(WriterMemory, NoMemoryAtAnyAllocationGivesEightAndLeavesTheOldFileAlone) {
    trevik::test::TempDir dir;
    const std::string out = dir.file("out.gsd");
    std::ofstream(out) << "old";
    auto study = std::make_unique<trevik::Study>();
    study->record.division = 1, study->record.frames = 2;
    long failAt = 0;
    for (;; ++failAt) {
        allocationsLeft = failAt;
        const trevik::Status result = trevik::writeGsd(out.c_str(), *study);
        allocationsLeft = -1;
        if (result == trevik::kOk) break;
        EXPECT_EQ(result, trevik::kNoMemory) << failAt;
        EXPECT_EQ(result.where.error, ENOMEM);
        EXPECT_EQ(trevik::test::readFile(out), "old") << failAt;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << failAt;
    }
    EXPECT_GE(failAt, 3) << "the writer allocates its paths and its header";
}
