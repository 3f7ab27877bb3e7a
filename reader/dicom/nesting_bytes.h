// What the nesting scan reads: bytes by offset, from memory or from a file.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace trevik::dicom::nesting {

class Bytes {
public:
    virtual ~Bytes() = default;
    // Copies `n` bytes at `offset` into `out`; false when they are not all there.
    virtual bool at(std::uint64_t offset, void* out, std::size_t n) = 0;
};

class MemoryBytes final : public Bytes {
public:
    MemoryBytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    bool at(std::uint64_t offset, void* out, std::size_t n) override {
        if (offset > size_ || size_ - offset < n) return false;
        std::memcpy(out, data_ + offset, n);
        return true;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
};

// A file read through a window of 64 KiB: values between the headers are
// skipped, never read.
class FileBytes final : public Bytes {
public:
    explicit FileBytes(int fd) : fd_(fd), window_(64 * 1024) {}
    bool at(std::uint64_t offset, void* out, std::size_t n) override {
        if (offset < start_ || offset + n > start_ + filled_) {
            if (n > window_.size()) return false;
            ssize_t got;
            do {
                got = ::pread(fd_, window_.data(), window_.size(), static_cast<off_t>(offset));
            } while (got < 0 && errno == EINTR);
            start_ = offset;
            filled_ = got > 0 ? static_cast<std::size_t>(got) : 0;
            if (n > filled_) return false;
        }
        std::memcpy(out, window_.data() + (offset - start_), n);
        return true;
    }

private:
    int fd_;
    std::vector<unsigned char> window_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

}  // namespace trevik::dicom::nesting
