// How the writer puts a file at a path without ever leaving a half-written
// or emptied destination behind when it fails:
// - an existing destination that cannot be opened for writing (a read-only
//   file, a directory) is refused before anything happens;
// - a regular file with one link, or a missing file, is written as a
//   temporary file with a short name of its own in the destination's
//   directory (symbolic links followed) and renamed over the destination
//   only once every write and the close have succeeded; a replaced file
//   keeps its owner (where allowed) and permission bits, a new one gets
//   0666 less the umask;
// - a device, a FIFO, a file with several hard links, and a destination
//   whose directory refuses the temporary or the rename are written in place.
#pragma once

#include <cstddef>
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
bool writeAll(int fd, const void* data, std::size_t size);

// Writes the complete content of the file to a descriptor; false on failure.
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

    // Writes the content, closes, and (for a temporary) renames it over the
    // destination. True only when the destination holds the whole content.
    // Call at most once, after a successful open.
    bool commit(const ContentWriter& content);

private:
    bool createTemporary(unsigned mode);
    void discardTemporary() noexcept;
    bool writeInPlace(const ContentWriter& content);

    std::string target_;    // the destination with symbolic links followed
    std::string tempPath_;  // non-empty while a temporary file exists
    UniqueFd temp_;         // the temporary file
    UniqueFd direct_;       // the destination itself, opened for writing
};

}  // namespace trevik::detail
