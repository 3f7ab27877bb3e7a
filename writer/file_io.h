// Descriptors and whole writes: the one place that writes a buffer to a
// descriptor completely, for every writer and the programs alike.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace trevik::detail {

// One POSIX file descriptor, closed on destruction.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept;
    // Closes the descriptor and reports whether the close succeeded.
    bool close() noexcept;

private:
    int fd_;
};

// Writes all `size` bytes, resuming after partial writes and interruptions,
// and waiting with poll() while a non-blocking descriptor is full. On
// failure errno tells why (EIO for a write that took nothing). Only
// async-signal-safe calls: a child between fork and exec may use it.
bool writeAll(int fd, const void* data, std::size_t size);
// The same at file offset `offset` (pwrite): the descriptor's offset is not
// used and does not move.
bool writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset);

// Copies the first `size` bytes of the file `from` (from its start, whatever
// its offset) to `to`; false with errno set on failure.
bool copyContent(int from, int to, std::uint64_t size);

}  // namespace trevik::detail
