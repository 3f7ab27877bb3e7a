// The libFuzzer entry of one fuzz target: TREVIK_FUZZ_ENTRY names its check
// in trevik::fuzz (tests/fuzz/CMakeLists.txt sets it for each target).
#include <cstddef>
#include <cstdint>

namespace trevik::fuzz {
int TREVIK_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return trevik::fuzz::TREVIK_FUZZ_ENTRY(data, size);
}
