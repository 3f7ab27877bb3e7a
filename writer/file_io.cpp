#include "writer/file_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

namespace trevik::detail {

namespace {

// The one write loop: at the descriptor's offset, or at `offset` when it
// is not negative.
bool writeWhole(int fd, const void* data, std::size_t size, off_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, bytes, size) : ::pwrite(fd, bytes, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking descriptor that others share: wait for room
            // rather than change its flags under them.
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, -1) < 0 && errno != EINTR) return false;
            continue;
        }
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
    return true;
}

}  // namespace

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool UniqueFd::close() noexcept {
    if (fd_ < 0) return false;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
}

bool writeAll(int fd, const void* data, std::size_t size) { return writeWhole(fd, data, size, -1); }

bool writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    return writeWhole(fd, data, size, static_cast<off_t>(offset));
}

bool copyContent(int from, int to, std::uint64_t size) {
    // A block of each call's own: several threads may copy at once.
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    const std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kBlock]);
    if (!block) {
        errno = ENOMEM;
        return false;
    }
    for (off_t at = 0; size > 0;) {
        const std::size_t want = size < kBlock ? static_cast<std::size_t>(size) : kBlock;
        const ssize_t n = ::pread(from, block.get(), want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // shorter than its content
        if (n <= 0 || !writeAll(to, block.get(), static_cast<std::size_t>(n))) return false;
        at += n;
        size -= static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace trevik::detail
