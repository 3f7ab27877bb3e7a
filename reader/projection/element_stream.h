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

// A source read forward from a position it keeps, through a buffer of its
// own filled by pread: the header's many small reads cost one system call
// a buffer, moving on costs none, and the descriptor's offset is never
// used (a stdio stream would check the descriptor's mode, size its buffer
// and seek at every rewind and skip). Owns the descriptor.
class SourceStream {
public:
    SourceStream() = default;
    explicit SourceStream(int fd) : fd_(fd) {}
    SourceStream(SourceStream&& other) noexcept;
    SourceStream& operator=(SourceStream&& other) noexcept;
    ~SourceStream();

    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Reads up to `count` bytes from the position and moves past them;
    // fewer only where the file ends, or a read fails (error() then says why).
    std::size_t read(void* to, std::size_t count);
    // Moves the position; beyond the end of the file is allowed, the next
    // read then comes back short.
    void seek(std::int64_t position) { position_ = position; }
    void skip(std::int64_t count) { position_ += count; }
    std::int64_t tell() const { return position_; }
    int error() const { return error_; }

private:
    static constexpr std::size_t kBufferBytes = 4096;
    int fd_ = -1;
    int error_ = 0;
    std::int64_t position_ = 0;
    std::int64_t bufferStart_ = 0;  // the file offset of buffer_[0]
    std::size_t buffered_ = 0;      // bytes of the file in buffer_
    unsigned char buffer_[kBufferBytes];
};

// Reads 2 (4) bytes, most significant first, into `value`. Returns the number
// of bytes actually read; after a short read `value` is 0.
int readBE16(std::int16_t& value, SourceStream& stream);
int readBE32(std::int32_t& value, SourceStream& stream);

// What the fixed block at file offsets 0 to 63 says: only its word at
// offset 18 means anything.
struct FilePreamble {
    std::int16_t sampleBits;  // 32 for float samples, else 16-bit integers; 0 when the file ends before it
};

// Reads the 64 preamble bytes from the current position (file offset 0).
// Returns the number of bytes read, 64 when the preamble is whole.
int readPreamble(SourceStream& stream, FilePreamble& preamble);

// The 8 bytes in front of every header element.
struct ElementHeader {
    std::uint16_t group;
    std::uint16_t element;
    std::int32_t length;
};

// Reads one element header; false when the file ends inside it.
bool readElementHeader(SourceStream& stream, ElementHeader& header);

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
FormatProbe examineFormat(SourceStream& stream);

// The same judgement on the first `size` bytes of a file (80 are enough).
FormatProbe examineOpening(const unsigned char* bytes, std::size_t size);

// True when the open file `fd` is recognised as a projection file. Reads
// with pread: the descriptor's offset does not move.
bool isProjectionFile(int fd);

}  // namespace trevik
