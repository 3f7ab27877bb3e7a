// How the writer puts a file at a path without ever leaving a half-written
// or emptied destination behind when it fails, and without ever blocking:
// - a path that names one of the process's own open descriptors
//   (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N) is written to a
//   duplicate of that descriptor at its current offset; nothing is opened
//   anew, seeked, truncated or renamed;
// - an existing destination that cannot be opened for writing (a read-only
//   file, a directory, a FIFO without a reader) is refused before anything
//   happens; nothing waits for a reader;
// - a regular file with one link, or a missing file, is written as a
//   temporary file with a short name of its own in the destination's
//   directory (symbolic links followed) and renamed over the destination
//   only once every write and the close have succeeded; a replaced file
//   keeps its owner (where allowed) and its permission bits without the
//   set-user-ID and set-group-ID bits, a new one gets 0666 less the umask.
//   When the temporary cannot be created for any reason but the directory's
//   permissions (no space, no inodes, quota, no descriptor left, a
//   read-only file system), the write fails and the destination is left
//   as it was;
// - a regular file with several hard links, or in a directory that forbids
//   the temporary or the rename, is written in place: its new length is
//   reserved first (a refusal for lack of space leaves it untouched), then
//   it is written over from its start and cut to the new length; an I/O
//   error in the middle can still leave old and new bytes mixed;
// - a device or a FIFO with a reader is written in place as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

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

// Writes all `size` bytes, resuming after partial writes and interruptions.
// On failure errno tells why (EIO for a write that took nothing).
bool writeAll(int fd, const void* data, std::size_t size);

// Writes the complete content of the file to a descriptor; false on failure,
// with errno telling why.
using ContentWriter = std::function<bool(int fd)>;

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // removes a temporary that was not renamed into place
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Decides how `path` is written and opens what will receive the
    // content. False when the destination cannot be written; then nothing
    // has changed on disk.
    bool open(const char* path);

    // Writes the content, exactly `size` bytes, closes, and (for a
    // temporary) renames it over the destination. True only when the
    // destination holds the whole content. Call at most once, after a
    // successful open.
    bool commit(const ContentWriter& content, std::uint64_t size);

    // The errno of the first call that failed, 0 while none has.
    int error() const noexcept { return error_; }

private:
    bool fail(int error) noexcept;
    bool openExisting(const char* path);
    bool createTemporary(unsigned mode);
    void discardTemporary() noexcept;
    bool writeInPlace(const ContentWriter& content, std::uint64_t size);

    std::string target_;    // the destination with symbolic links followed
    std::string tempPath_;  // non-empty while a temporary file exists
    UniqueFd temp_;         // the temporary file
    UniqueFd direct_;       // the destination itself, opened for writing
    UniqueFd inherited_;    // a duplicate of one of the process's own descriptors
    int error_ = 0;
};

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary file being written,
// if any, and then end the process as the signal would. A signal that is
// ignored when this is called stays ignored. The handler only unlinks a
// path kept in static storage and raises the signal again.
void removeTemporaryOnSignals();

}  // namespace trevik::detail
