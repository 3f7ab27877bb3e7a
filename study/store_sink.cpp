#include "study/store_sink.h"

#include <sys/mman.h>

#include <cstdint>

#if defined(MADV_HUGEPAGE) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; C libraries older than the kernel lack the name
#endif

#include "study/rules.h"

namespace trevik {

namespace {

// Makes the store's pages for the frames a load fills present before the
// images come, which saves a page fault for every 4 KiB: asks for huge pages
// over each whole 2 MiB page of a run of frames, then has the kernel fill in
// the run's pages in one call. Hints only: nothing depends on whether the
// system follows them (Linux before 5.14 knows no MADV_POPULATE_WRITE).
void prepareFrames(FrameStore& store, int passes, int frames) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kPage = 4096;
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    auto advise = [](std::uintptr_t first, std::uintptr_t last, std::uintptr_t unit, int advice) {
        const std::uintptr_t begin = (first + unit - 1) & ~(unit - 1);
        const std::uintptr_t end = last & ~(unit - 1);
        if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, advice);
    };
    // One run of slots for a single pass or full divisions, else one a pass.
    const bool oneRun = passes == 1 || frames == FrameStore::kFramesPerDivision;
    for (int d = 0; d < (oneRun ? 1 : passes); ++d) {
        const auto first = reinterpret_cast<std::uintptr_t>(store.frame(d, 0));
        const auto last = reinterpret_cast<std::uintptr_t>(store.frame(oneRun ? passes - 1 : d, frames - 1) +
                                                           FrameStore::kFrameSamples);
        advise(first, last, kHugePage, MADV_HUGEPAGE);
        advise(first, last, kPage, MADV_POPULATE_WRITE);
    }
#else
    (void)store, (void)passes, (void)frames;
#endif
}

}  // namespace

Status StoreSink::begin(const StudyFacts& facts, const FrameLayout& layout) {
    if (layout.side != FrameStore::kSide) {
        Status s = statusOf(Reason::NotSupported);
        s.where.detail = "the frame store holds 64 x 64 frames only";
        return s;
    }
    (void)facts;
    if (layout.passes > 0 && layout.frames > 0) prepareFrames(store_, layout.passes, layout.frames);
    return {};
}

}  // namespace trevik
