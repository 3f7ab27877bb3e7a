#include "writer/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "writer/output_names.h"
#include "writer/output_signals.h"

namespace trevik::detail {

namespace {

using Strategy = OutputFile::Strategy;

constexpr int kOpenFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
constexpr int kTemporaryAttempts = 64;
constexpr mode_t kSetIdBits = S_ISUID | S_ISGID;
constexpr char kAccessAcl[] = "system.posix_acl_access";

// The one place that decides how the destination is written, from what it
// is: one of our own descriptors, nothing yet, or the file found there.
Strategy decideStrategy(bool ownDescriptor, const struct stat* existing) {
    if (ownDescriptor) return Strategy::OwnDescriptor;
    if (existing == nullptr) return Strategy::Create;
    if (!S_ISREG(existing->st_mode)) return Strategy::Stream;
    return existing->st_nlink == 1 ? Strategy::Replace : Strategy::InPlace;
}

}  // namespace

bool writesInPlaceAfter(int error) noexcept {
    return error == EACCES || error == EPERM || error == EBUSY || error == EXDEV;
}

namespace {
bool (*placementCondition)() = nullptr;
bool mayPlace() { return placementCondition == nullptr || placementCondition(); }
}  // namespace

void setPlacementCondition(bool (*condition)()) { placementCondition = condition; }

OutputFileSeams& outputFileSeams() {
    static OutputFileSeams seams;
    return seams;
}

OutputFile::~OutputFile() { discardTemporary(); }

bool OutputFile::fail(int error) noexcept {
    if (error_ == 0) error_ = error != 0 ? error : EIO;
    return false;
}

bool OutputFile::open(const char* path, const KeepTest& keep, Existing existing) {
    if (path == nullptr || *path == '\0') return fail(ENOENT);

    // One of our own descriptors (the shell's redirection, a pipe): write
    // where it stands, never replace what it refers to.
    const bool refuse = existing == Existing::Refuse;
    if (const int own = refuse ? kNotOwn : ownDescriptor(path); own != kNotOwn) {
        if (own == kNoSuchDescriptor) return fail(EBADF);
        direct_.reset(::fcntl(own, F_DUPFD_CLOEXEC, 0));
        if (!direct_) return fail(errno);
        strategy_ = decideStrategy(true, nullptr);
        return true;
    }

    struct stat st {};
    bool exists = false;
    if (!resolve(path, st, exists, refuse)) return false;
    if (exists) return refuse ? fail(EEXIST) : openExisting(st, keep);
    strategy_ = decideStrategy(false, nullptr);
    return prepareTemporary(0666) ? true : fail(errno);
}

// Finds the directory and the name that `path` ends in, following symbolic
// links in the last component the way open() does (a dangling link names
// the file to create), but relative to directory descriptors, and in a
// directory where others may plant links only through a trusted link.
// With `noFollow` a link in the last component is an existing entry.
bool OutputFile::resolve(const char* path, struct stat& st, bool& exists, bool noFollow) {
    std::string current = path;
    for (int hop = 0;; ++hop) {
        const std::string directory = directoryPrefix(current);
        const int base = dir_ ? dir_.get() : AT_FDCWD;  // a relative link starts where it lies
        const int fd = ::openat(base, directory.empty() ? "." : directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return fail(errno);
        dir_.reset(fd);
        name_ = current.substr(directory.size());
        if (name_.empty()) return fail(EISDIR);  // "folder/"
        if (::fstatat(dir_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return fail(errno);
            exists = false;
            return true;
        }
        if (!S_ISLNK(st.st_mode) || noFollow) {
            exists = true;
            return true;
        }
        if (hop == kMaxLinkHops) return fail(ELOOP);
        struct stat holder {};
        if (::fstat(dir_.get(), &holder) != 0) return fail(errno);
        if (othersMayPlantIn(holder) && !trustedIn(holder, st.st_uid)) return fail(EACCES);
        if (!readLinkAt(dir_.get(), name_.c_str(), st, current)) return fail(errno);
    }
}

bool OutputFile::openExisting(const struct stat& found, const KeepTest& keep) {
    if (S_ISDIR(found.st_mode)) return fail(EISDIR);
    // Opening without truncation is the explicit writability check: a
    // read-only file is refused here, before a rename could replace it.
    // Without blocking, so a FIFO that no one reads is refused at once
    // (ENXIO) rather than waited on; never through a link planted since.
    direct_.reset(::openat(dir_.get(), name_.c_str(), kOpenFlags | O_NONBLOCK | O_NOFOLLOW));
    if (!direct_) return fail(errno);
    struct stat st {}, holder {};
    if (::fstat(direct_.get(), &st) != 0 || ::fstat(dir_.get(), &holder) != 0) return fail(errno);
    if ((S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) && othersMayPlantIn(holder) && !trustedIn(holder, st.st_uid)) {
        direct_.reset();
        return fail(EACCES);  // planted by someone else in a shared directory
    }
    if (S_ISREG(st.st_mode) && keep) {
        const UniqueFd reader(openForReading(direct_.get(), dir_.get(), name_.c_str(), st));
        if (reader && keep(reader.get())) {
            direct_.reset();
            keptSource_ = true;
            return fail(EEXIST);
        }
    }
    strategy_ = decideStrategy(false, &st);
    if (strategy_ != Strategy::Replace) return true;
    if (!prepareTemporary(0600)) {
        if (!writesInPlaceAfter(errno)) return fail(errno);
        strategy_ = Strategy::InPlace;
        return true;
    }
    // A replacement that cannot carry the old file's access leaves it to
    // be written in place, which keeps everything about it.
    if (!copyAttributes(st)) {
        discardTemporary();
        strategy_ = Strategy::InPlace;
    }
    return true;
}

bool OutputFile::prepareTemporary(unsigned mode) {
    if (!outputFileSeams().namedTemporary) {
        const int fd = ::openat(dir_.get(), ".", O_TMPFILE | kOpenFlags, static_cast<mode_t>(mode));
        if (fd >= 0) {
            temp_.reset(fd);
            if (procReaches(fd)) {
                unnamed_ = true;
                return true;
            }
            temp_.reset();  // no /proc to give it a name through
        } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return false;
        }
    }
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        const std::string candidate = temporaryName();
        int fd = -1;
        int error = 0;
        {
            SignalsHeld held;
            setPending(dir_.get(), candidate.c_str());
            fd = ::openat(dir_.get(), candidate.c_str(), kOpenFlags | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
            error = errno;
            if (fd < 0) setPending(-1, nullptr);
        }
        if (fd >= 0) {
            temp_.reset(fd);
            tempName_ = candidate;
            return true;
        }
        if (error != EEXIST) {
            errno = error;
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

// Gives the temporary the old file's owner (where allowed; else at least its
// group, which a member may set), its access ACL (or none, whatever the
// directory's default ACL gave the new file) and user.* attributes, and its
// permission bits less the set-ID bits, which also sets the ACL's mask as
// the old file had it. security.* and trusted.* are the system's policy.
bool OutputFile::copyAttributes(const struct stat& st) {
    const int to = temp_.get();
    if (::fchown(to, st.st_uid, st.st_gid) != 0 && ::fchown(to, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // neither: the file becomes ours, as a rewrite by a new owner would
    }
    std::string names, value;
    if (!listAttributes(direct_.get(), names)) return false;
    bool hadAcl = false;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.c_str() + at;
        const std::string_view view(name);
        at += view.size() + 1;
        const bool acl = view == kAccessAcl;
        if (!acl && !view.starts_with("user.")) continue;
        if (!readAttribute(direct_.get(), name, value)) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return false;
        }
        if (::fsetxattr(to, name, value.data(), value.size(), 0) != 0) return false;
        hadAcl = hadAcl || acl;
    }
    if (!hadAcl && ::fremovexattr(to, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) return false;
    return ::fchmod(to, st.st_mode & 07777 & ~kSetIdBits) == 0;
}

void OutputFile::discardTemporary() noexcept {
    temp_.reset();
    unnamed_ = false;
    if (tempName_.empty()) return;
    SignalsHeld held;
    ::unlinkat(dir_.get(), tempName_.c_str(), 0);
    setPending(-1, nullptr);
    tempName_.clear();
}

// Links the unnamed temporary as `name` in the directory; with nullptr
// under a fresh temporary name, which tempName_ then holds.
bool OutputFile::nameTemporary(const char* name) {
    const std::string from = procPath(temp_.get());
    if (name != nullptr) return ::linkat(AT_FDCWD, from.c_str(), dir_.get(), name, AT_SYMLINK_FOLLOW) == 0;
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        const std::string candidate = temporaryName();
        SignalsHeld held;
        setPending(dir_.get(), candidate.c_str());
        if (::linkat(AT_FDCWD, from.c_str(), dir_.get(), candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            tempName_ = candidate;
            return true;
        }
        setPending(-1, nullptr);
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

// Whether the destination's name still holds the file that open found.
bool OutputFile::stillTheDestination() {
    struct stat named {}, opened {};
    return ::fstatat(dir_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(direct_.get(), &opened) == 0 && sameNode(named, opened);
}

bool OutputFile::writeInPlace(const ContentWriter& content, std::uint64_t size) {
    struct stat st {};
    if (!direct_ || ::fstat(direct_.get(), &st) != 0) return fail(errno);
    if (!mayPlace()) return fail(ECANCELED);

    // One writer at a time through every link of the file. Waited for with
    // the cleanup signals deliverable, so an interruption still ends a run
    // that waits; a file system without locks is written unlocked.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (::fcntl(direct_.get(), F_OFD_SETLKW, &lock) != 0) {
        if (errno == EINTR) continue;
        if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP) break;
        return fail(errno);
    }
    // From here to the last byte, an interruption waits: the file is never
    // left half old, half new by a signal.
    SignalsHeld held;

    // Reserve the new length before the first byte changes, so that a disk
    // without room for it leaves the file as it was. A file system that
    // cannot reserve space (EOPNOTSUPP, ENOSYS, or EINVAL for a mode it
    // does not know; the arguments themselves are valid) is written as it is.
    int reserved = 0;
    while (size > 0 && (reserved = ::fallocate(direct_.get(), 0, 0, static_cast<off_t>(size))) != 0 &&
           errno == EINTR) {
    }
    if (reserved != 0 && errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
        const int error = errno;
        struct stat now {};
        if (::fstat(direct_.get(), &now) == 0 && now.st_size != st.st_size) {
            if (::ftruncate(direct_.get(), st.st_size) != 0) {
                // the failure to report is the reservation's
            }
        }
        return fail(error);
    }
    if ((st.st_mode & kSetIdBits) != 0 && ::fchmod(direct_.get(), st.st_mode & 07777 & ~kSetIdBits) != 0) {
        // not the owner: the kernel drops the bits on our first write
    }
    // Written over from the start, then cut: never truncated first.
    if (!content(direct_.get()) || ::ftruncate(direct_.get(), static_cast<off_t>(size)) != 0 || !direct_.close())
        return fail(errno);
    return true;
}

bool OutputFile::commitTemporary(const ContentWriter& content, std::uint64_t size) {
    if (!content(temp_.get())) {
        fail(errno);
        discardTemporary();
        return false;
    }
    if (outputFileSeams().beforeNaming) outputFileSeams().beforeNaming();
    if (!mayPlace()) {
        fail(ECANCELED);
        discardTemporary();
        return false;
    }

    if (strategy_ == Strategy::Create) {
        // A name someone made meanwhile (a file, a link) stays theirs: EEXIST.
        if (unnamed_) {
            if (!nameTemporary(name_.c_str())) {
                fail(errno);
                discardTemporary();
                return false;
            }
            struct stat written {}, named {};
            const bool known = ::fstat(temp_.get(), &written) == 0;
            unnamed_ = false;
            if (temp_.close()) return true;
            const int error = errno;  // the content may not have reached the file: take the name back
            if (known && ::fstatat(dir_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                sameNode(named, written))
                ::unlinkat(dir_.get(), name_.c_str(), 0);
            return fail(error);
        }
        if (!temp_.close()) {
            fail(errno);
            discardTemporary();
            return false;
        }
        int error = 0;
        {
            SignalsHeld held;
            int named = ::renameat2(dir_.get(), tempName_.c_str(), dir_.get(), name_.c_str(), RENAME_NOREPLACE);
            if (named != 0 && (errno == EINVAL || errno == ENOSYS)) {  // a file system without it
                named = ::linkat(dir_.get(), tempName_.c_str(), dir_.get(), name_.c_str(), 0);
                if (named == 0) ::unlinkat(dir_.get(), tempName_.c_str(), 0);
            }
            if (named == 0) {
                setPending(-1, nullptr);
                tempName_.clear();
                return true;
            }
            error = errno;
        }
        discardTemporary();
        return fail(error);
    }

    // A replacement: named, complete and closed first, then renamed over
    // the old file while the name still holds it.
    int error = 0;
    if (unnamed_ && !nameTemporary(nullptr)) error = errno;
    if (error == 0 && !temp_.close()) error = errno;
    if (error == 0 && !stillTheDestination()) error = EEXIST;
    if (error == 0) {
        SignalsHeld held;
        if (::renameat(dir_.get(), tempName_.c_str(), dir_.get(), name_.c_str()) == 0) {
            setPending(-1, nullptr);
            tempName_.clear();
            unnamed_ = false;
            return true;
        }
        error = errno;
    }
    discardTemporary();
    // The directory let us make the temporary but not put it in place (a
    // sticky directory, a mount point): write the old file itself, through
    // the descriptor open since the start, never through the name again.
    if (!writesInPlaceAfter(error)) return fail(error);
    strategy_ = Strategy::InPlace;
    return writeInPlace(content, size);
}

int OutputFile::streamDescriptor() const noexcept {
    return strategy_ == Strategy::Create || strategy_ == Strategy::Replace ? temp_.get() : -1;
}

bool OutputFile::commitStreamed(std::uint64_t size) {
    if (streamDescriptor() < 0) return fail(EBADF);
    // For a replacement written in place after all: a reader of the
    // temporary, opened while it still exists.
    UniqueFd copy;
    if (strategy_ == Strategy::Replace) {
        struct stat st {};
        if (::fstat(temp_.get(), &st) == 0) copy.reset(openForReading(temp_.get(), dir_.get(), tempName_.c_str(), st));
    }
    bool first = true;
    return commitTemporary(
        [&](int fd) {
            if (first) {
                first = false;  // the temporary: the content is there already
                return true;
            }
            return copy ? copyContent(copy.get(), fd, size) : (errno = EBADF, false);
        },
        size);
}

bool OutputFile::commit(const ContentWriter& content, std::uint64_t size) {
    switch (strategy_) {
    case Strategy::OwnDescriptor:
    case Strategy::Stream:
        return content(direct_.get()) && direct_.close() ? true : fail(errno);
    case Strategy::InPlace:
        return writeInPlace(content, size);
    case Strategy::Create:
    case Strategy::Replace:
        return commitTemporary(content, size);
    case Strategy::None:
        break;
    }
    return fail(EBADF);
}

}  // namespace trevik::detail
