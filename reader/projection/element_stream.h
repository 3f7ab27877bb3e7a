// The lowest layer of the source reader: a big-endian byte stream with its
// 64-byte preamble, the 8-byte element framing of the header, and the probe
// that recognises a projection file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "study/status.h"

namespace trevik {

// Closes a stdio stream when it goes out of scope.
struct StreamCloser {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};
using StreamHandle = std::unique_ptr<std::FILE, StreamCloser>;

// Reads 2 (4) bytes, most significant first, into `value`. Returns the number
// of bytes actually read; after a short read `value` is 0.
int readBE16(std::int16_t& value, std::FILE* stream);
int readBE32(std::int32_t& value, std::FILE* stream);

// What the fixed block at file offsets 0 to 63 says: only its word at
// offset 18 means anything.
struct FilePreamble {
    std::int16_t sampleBits;  // 32 for float samples, else 16-bit integers; 0 when the file ends before it
};

// Reads the 64 preamble bytes from the current position (file offset 0).
// Returns the number of bytes read, 64 when the preamble is whole.
int readPreamble(std::FILE* stream, FilePreamble& preamble);

// The 8 bytes in front of every header element.
struct ElementHeader {
    std::uint16_t group;
    std::uint16_t element;
    std::int32_t length;
};

// Reads one element header; false when the file ends inside it.
bool readElementHeader(std::FILE* stream, ElementHeader& header);

// What the probe found where a projection file has its two opening
// elements: (0000,0000) at offset 64 and (0000,0001) at offset 76.
struct FormatProbe {
    using Finding = ProbeFinding;
    Finding finding;
    std::uint16_t group;    // FirstElement, SecondElement: the tag found instead
    std::uint16_t element;
    bool dicomMarker = false;  // examineFormat: "DICM" at offset 128, a DICOM Part 10 file
};

// Looks at the two opening elements, and for the DICOM marker (from the
// stream's buffer: no further read). The stream is back at offset 0
// afterwards.
FormatProbe examineFormat(std::FILE* stream);

// The same judgement on the first `size` bytes of a file (80 are enough).
FormatProbe examineOpening(const unsigned char* bytes, std::size_t size);

// True when the open file `fd` is recognised as a projection file. Reads
// with pread: the descriptor's offset does not move.
bool isProjectionFile(int fd);

}  // namespace trevik
