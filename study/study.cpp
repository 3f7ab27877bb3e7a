#include "study/study.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace trevik {

bool PathBuffer::assign(std::string_view path) {
    if (path.size() >= kCapacity || path.find('\0') != std::string_view::npos) return false;
    std::memcpy(text, path.data(), path.size());
    text[path.size()] = '\0';
    return true;
}

void copyText(char* field, std::size_t width, std::string_view text) {
    if (width == 0) return;
    const std::size_t n = text.size() < width - 1 ? text.size() : width - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

void FreeStudy::operator()(Study* study) const { ::munmap(study, sizeof(Study)); }

HeapStudy newStudy() {
    static_assert(std::is_aggregate_v<Study> && std::is_trivially_destructible_v<Study> &&
                  std::is_trivially_copyable_v<Study>);
    void* pages = ::mmap(nullptr, sizeof(Study), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return nullptr;
    // Fresh anonymous pages are zero, which is the value-initialised Study:
    // nothing is written, so not even the facts' pages are touched yet.
    return HeapStudy(static_cast<Study*>(pages));
}

void prefault(void* data, std::size_t bytes) {
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14; older headers lack the name
#endif
    constexpr std::uintptr_t kPage = 4096;
    if (bytes < kPrefaultBytes) return;
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (at + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (at + bytes) & ~(kPage - 1);
    // Advice only: a kernel without the call, or memory it will not
    // populate now, leaves the pages to their faults as before.
    if (end > first) (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

}  // namespace trevik
