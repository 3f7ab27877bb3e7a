#include "study/study.h"

#include <sys/mman.h>

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
    HeapStudy study(static_cast<Study*>(pages));
    static_cast<StudyFacts&>(*study) = StudyFacts{};
    return study;
}

}  // namespace trevik
