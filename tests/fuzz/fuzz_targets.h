// The fuzz targets' checks, one function each: the input bytes in, a
// broken promise aborts. fuzz_main.cpp makes one of them a libFuzzer target;
// the replay (replay_main.cpp) runs them all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trevik::fuzz {

// The batch path: load, write, streamed conversion (fuzz_convert.cpp).
int convertInput(const std::uint8_t* data, std::size_t size);
// The inspection of the input as a file (fuzz_inspect.cpp).
int inspectInput(const std::uint8_t* data, std::size_t size);
// The DICOM source: nesting scan, text decoder and load (fuzz_dicom.cpp;
// built where DCMTK is found, replayed by fuzz-replay-dicom).
int dicomInput(const std::uint8_t* data, std::size_t size);

}  // namespace trevik::fuzz
