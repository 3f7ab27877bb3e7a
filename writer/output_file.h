// How the writer puts a file at a path without ever leaving a half-written
// or emptied destination behind when it fails, without ever blocking on a
// reader that is not there, and without letting another user of a shared
// directory turn the write against the caller.
//
// Every name is resolved relative to a descriptor of the directory that
// holds it (openat, linkat, renameat, unlinkat), so a directory renamed or
// a link planted during the conversion cannot redirect the output. Open
// decides one strategy from what the destination is (decideStrategy):
// - OwnDescriptor: a path that names one of the process's own open
//   descriptors (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N) is
//   written to a duplicate of that descriptor at its current offset; nothing
//   is opened anew, seeked, truncated or renamed. A non-blocking descriptor
//   stays non-blocking: a full pipe is waited on with poll();
// - Stream: a device or a FIFO with a reader is written as it is; a FIFO
//   without a reader is refused at once (ENXIO);
// - Create: a missing file is written as an unnamed temporary (O_TMPFILE)
//   and linked to its name once complete; a name that someone else made
//   meanwhile, a symbolic link included, fails the write (EEXIST) and is
//   left alone. A new file gets 0666 less the umask;
// - Replace: a regular file with one link is written as an unnamed
//   temporary that takes the old file's owner (where allowed, else at least
//   its group), its permission bits less the set-ID bits, its access ACL and
//   its user.* extended attributes, then is linked under a short temporary
//   name and renamed over the old file, only while the name is still that
//   file;
// - InPlace: a regular file with several hard links, or one whose
//   replacement the directory refuses (see writesInPlaceAfter) or that
//   could not carry the old file's attributes, is written over in place
//   under an exclusive lock of its open file description: its new length is
//   reserved first, then it is written from its start and cut; an I/O error
//   in the middle can still leave old and new bytes mixed.
// Where O_TMPFILE is refused (older kernels, some network and overlay file
// systems) or /proc is missing, the temporary is a named file of its own in
// the destination's directory instead, removed on failure.
//
// In a sticky directory that others may write (world- or group-writable),
// a symbolic link is followed only when the caller or the directory's owner
// owns it, and an existing regular file or FIFO is neither replaced nor
// written unless the caller or the directory's owner owns it (EACCES).
//
// Nothing is flushed to the disk (no fsync): other processes see the old
// file or the whole new one, and the new one survives a crash once the
// system has written it back. That is the batch programs' rule (their
// source stays on the disk); the DICOM node syncs the files it writes
// through a descriptor of its own (app/dicom/set_folders.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "writer/file_io.h"

namespace trevik::detail {

// Writes the complete content of the file to a descriptor; false on failure,
// with errno telling why.
using ContentWriter = std::function<bool(int fd)>;

// Asked about an existing regular destination before anything is written,
// with a read-only descriptor of it: true when the file must be kept (a
// source that cannot be made again). The descriptor's offset is the
// caller's to move; the descriptor is closed afterwards.
using KeepTest = std::function<bool(int fd)>;

class OutputFile {
public:
    enum class Strategy { None, OwnDescriptor, Stream, Create, Replace, InPlace };
    // What open does with a name that exists. Replace: as described above.
    // Refuse: any entry of that name (a file, a symbolic link, dangling or
    // not, a device, one of our descriptors) fails with EEXIST and is left
    // alone, before and at the naming: a write that only ever creates,
    // whose caller picks another name.
    enum class Existing { Replace, Refuse };

    OutputFile() = default;
    ~OutputFile();  // removes a temporary that was not given the name
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Decides how `path` is written and opens what will receive the
    // content. False when the destination cannot or must not be written
    // (`keep` says so for an existing regular file: keptSource()); then
    // nothing has changed on disk.
    bool open(const char* path, const KeepTest& keep = {}, Existing existing = Existing::Replace);

    // Writes the content, exactly `size` bytes, closes, and (for a
    // temporary) gives it the destination's name. True only when the
    // destination holds the whole content. Call at most once, after a
    // successful open.
    bool commit(const ContentWriter& content, std::uint64_t size);

    // Streaming: for a new file written as a temporary (Create, Replace),
    // the temporary's descriptor, into which the caller may write the
    // content as it is made, at any offset; -1 for the other strategies,
    // which take their content from commit only.
    int streamDescriptor() const noexcept;
    // Completes the streamed content, exactly `size` bytes, as commit does.
    // Where the directory refuses to put the replacement in place, the old
    // file is written in place with a copy of the streamed content.
    bool commitStreamed(std::uint64_t size);

    // The errno of the first call that failed, 0 while none has.
    int error() const noexcept { return error_; }
    // True when open refused because the keep test said so.
    bool keptSource() const noexcept { return keptSource_; }
    // How the content goes to the destination (after open, and after a
    // commit that had to fall back to writing in place).
    Strategy strategy() const noexcept { return strategy_; }

private:
    bool fail(int error) noexcept;
    bool resolve(const char* path, struct stat& st, bool& exists, bool noFollow);
    bool openExisting(const struct stat& st, const KeepTest& keep);
    bool prepareTemporary(unsigned mode);
    bool copyAttributes(const struct stat& st);
    bool nameTemporary(const char* name);
    void discardTemporary() noexcept;
    bool stillTheDestination();
    bool writeInPlace(const ContentWriter& content, std::uint64_t size);
    bool commitTemporary(const ContentWriter& content, std::uint64_t size);

    Strategy strategy_ = Strategy::None;
    UniqueFd dir_;          // the directory that holds the destination's name
    std::string name_;      // the destination's name in that directory
    std::string tempName_;  // non-empty while a named temporary exists in dir_
    UniqueFd temp_;         // the new file, unnamed or named tempName_
    bool unnamed_ = false;  // temp_ is an O_TMPFILE file
    UniqueFd direct_;       // the destination itself, opened for writing
    int error_ = 0;
    bool keptSource_ = false;
};

// The errors with which a directory refuses a file of our own or the rename
// over the destination (a read-only or sticky directory, a mount point),
// where the destination can still be written in place.
bool writesInPlaceAfter(int error) noexcept;

// Makes the signals that end a process by default (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM) remove the named temporary
// file being written, if any, and then end the process as the signal would.
// A signal that is ignored when this is called stays ignored. The handler
// only unlinks a name kept in static storage and raises the signal again.
void removeTemporaryOnSignals();

// Test seams, set by tests only; the product never changes them.
// A condition of this process, asked once a file's content is complete and
// just before it is put in place (linked, renamed, or written over in
// place): false fails the write (ECANCELED) and leaves nothing behind. A
// companion program uses it to write only while its parent lives.
void setPlacementCondition(bool (*condition)());

struct OutputFileSeams {
    bool namedTemporary = false;          // behave as if O_TMPFILE were refused
    std::function<void()> beforeNaming;   // after the content, before the link or rename
};
OutputFileSeams& outputFileSeams();

}  // namespace trevik::detail
