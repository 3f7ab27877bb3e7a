#include "reader/projection/element_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "reader/projection/big_endian.h"

namespace trevik {

SourceStream::SourceStream(SourceStream&& other) noexcept { *this = std::move(other); }

SourceStream& SourceStream::operator=(SourceStream&& other) noexcept {
    if (this == &other) return *this;
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    error_ = other.error_;
    position_ = other.position_;
    bufferStart_ = other.bufferStart_;
    buffered_ = std::exchange(other.buffered_, 0);
    std::memcpy(buffer_, other.buffer_, buffered_);
    return *this;
}

SourceStream::~SourceStream() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t SourceStream::read(void* to, std::size_t count) {
    auto* out = static_cast<unsigned char*>(to);
    std::size_t done = 0;
    while (done < count && fd_ >= 0 && position_ >= 0) {
        // From the buffer where it holds the position.
        const std::int64_t into = position_ - bufferStart_;
        if (into >= 0 && static_cast<std::uint64_t>(into) < buffered_) {
            const std::size_t n = std::min(count - done, buffered_ - static_cast<std::size_t>(into));
            std::memcpy(out + done, buffer_ + into, n);
            done += n;
            position_ += static_cast<std::int64_t>(n);
            continue;
        }
        // A read as large as the buffer goes straight to its place.
        const bool direct = count - done >= kBufferBytes;
        unsigned char* target = direct ? out + done : buffer_;
        const ssize_t got = ::pread(fd_, target, direct ? count - done : kBufferBytes, static_cast<off_t>(position_));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0) error_ = errno;
            break;
        }
        if (direct) {
            done += static_cast<std::size_t>(got);
            position_ += got;
        } else {
            bufferStart_ = position_;
            buffered_ = static_cast<std::size_t>(got);
        }
    }
    return done;
}

int readBE16(std::int16_t& value, SourceStream& stream) {
    unsigned char b[2];
    const auto n = static_cast<int>(stream.read(b, sizeof b));
    value = n == 2 ? static_cast<std::int16_t>(bigEndian16(b)) : 0;
    return n;
}

int readBE32(std::int32_t& value, SourceStream& stream) {
    unsigned char b[4];
    const auto n = static_cast<int>(stream.read(b, sizeof b));
    value = n == 4 ? static_cast<std::int32_t>(bigEndian32(b)) : 0;
    return n;
}

int readPreamble(SourceStream& stream, FilePreamble& p) {
    unsigned char b[64];
    const auto n = static_cast<int>(stream.read(b, sizeof b));
    p.sampleBits = n >= 20 ? static_cast<std::int16_t>(bigEndian16(b + 18)) : 0;
    return n;
}

bool readElementHeader(SourceStream& stream, ElementHeader& header) {
    std::int16_t group = 0;
    std::int16_t element = 0;
    if (readBE16(group, stream) != 2) return false;
    if (readBE16(element, stream) != 2) return false;
    if (readBE32(header.length, stream) != 4) return false;
    header.group = static_cast<std::uint16_t>(group);
    header.element = static_cast<std::uint16_t>(element);
    return true;
}

namespace {

constexpr std::size_t kOpeningBytes = 80;  // preamble, (0000,0000) with its 4-byte value, the next tag
constexpr std::size_t kDicomMarkerEnd = 132;  // a DICOM Part 10 file's "DICM" at offsets 128 to 131

}  // namespace

// The value of (0000,0000) is 4 bytes whatever its length says; the second
// element header therefore starts at offset 76.
FormatProbe examineOpening(const unsigned char* bytes, std::size_t size) {
    using Finding = FormatProbe::Finding;
    if (size < 72) return {Finding::TooShort, 0, 0};
    const std::uint16_t group = bigEndian16(bytes + 64), element = bigEndian16(bytes + 66);
    if (group != 0 || element != 0) return {Finding::FirstElement, group, element};
    if (size < kOpeningBytes) return {Finding::TooShort, 0, 0};
    const std::uint16_t group2 = bigEndian16(bytes + 76), element2 = bigEndian16(bytes + 78);
    return {group2 == 0 && element2 == 1 ? Finding::Recognised : Finding::SecondElement, group2, element2};
}

FormatProbe examineFormat(SourceStream& stream) {
    stream.seek(0);
    unsigned char opening[kDicomMarkerEnd];
    const std::size_t n = stream.read(opening, sizeof opening);
    stream.seek(0);
    FormatProbe probe = examineOpening(opening, n);
    probe.dicomMarker = n == sizeof opening && std::memcmp(opening + kDicomMarkerEnd - 4, "DICM", 4) == 0;
    return probe;
}

bool isProjectionFile(int fd) {
    unsigned char opening[kOpeningBytes];
    std::size_t n = 0;
    while (n < sizeof opening) {
        const ssize_t got = ::pread(fd, opening + n, sizeof opening - n, static_cast<off_t>(n));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        n += static_cast<std::size_t>(got);
    }
    return examineOpening(opening, n).finding == FormatProbe::Finding::Recognised;
}

}  // namespace trevik
