#include "writer/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace trevik::detail {

namespace {

using Strategy = OutputFile::Strategy;

constexpr int kOpenFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
constexpr int kMaxLinkHops = 40;  // the kernel's own limit (ELOOP)
constexpr int kTemporaryAttempts = 64;
constexpr mode_t kSetIdBits = S_ISUID | S_ISGID;
constexpr char kAccessAcl[] = "system.posix_acl_access";

// The named temporary file that exists right now, for the signal handler:
// set before the name is made and cleared once it is renamed or removed,
// always with the cleanup signals held back, so the handler never sees a
// half-copied name nor removes a name that is no longer ours. Relative to
// the directory's descriptor, so a directory renamed meanwhile still loses
// the temporary.
int pendingDirectory = -1;
char pendingName[NAME_MAX + 1];
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM};

// Holds the cleanup signals back in this thread while it lives.
class SignalsHeld {
public:
    SignalsHeld() noexcept {
        sigset_t set;
        sigemptyset(&set);
        for (const int s : kCleanupSignals) sigaddset(&set, s);
        const int saved = errno;
        ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
        errno = saved;
    }
    ~SignalsHeld() {
        const int saved = errno;
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = saved;
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

extern "C" void removeTemporaryAndEnd(int signal) {
    if (pendingName[0] != '\0') ::unlinkat(pendingDirectory, pendingName, 0);
    ::signal(signal, SIG_DFL);
    ::raise(signal);  // held until the handler returns, then ends the process
}

// Records (or, with nullptr, forgets) the named temporary for the handler.
// Call with the signals held.
void setPending(int directory, const char* name) noexcept {
    pendingDirectory = directory;
    if (name == nullptr) {
        pendingName[0] = '\0';
        return;
    }
    std::strncpy(pendingName, name, sizeof pendingName - 1);
    pendingName[sizeof pendingName - 1] = '\0';
}

// The directory part of `path` with its trailing slash, "" for a bare name.
std::string directoryPrefix(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The target of the symbolic link `name` in `directory` (AT_FDCWD: the
// working directory); false (errno set) when it cannot be read.
bool readLinkAt(int directory, const char* name, const struct stat& st, std::string& target) {
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + 64, '\0');
    ssize_t n = 0;
    while ((n = ::readlinkat(directory, name, link.data(), link.size())) >= 0 &&
           static_cast<std::size_t>(n) == link.size()) {
        link.resize(link.size() * 2);  // possibly cut: try a larger buffer
    }
    if (n <= 0) {
        if (n == 0) errno = ENOENT;
        return false;
    }
    link.resize(static_cast<std::size_t>(n));
    target = std::move(link);
    return true;
}

bool sameNode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

constexpr int kNotOwn = -1;
constexpr int kNoSuchDescriptor = -2;

// A descriptor number in decimal, as the directory of descriptors names it
// (no sign, no leading zero); kNoSuchDescriptor for anything else.
int descriptorNumber(const std::string& name) {
    if (name.empty() || name.size() > 9 || (name.size() > 1 && name[0] == '0')) return kNoSuchDescriptor;
    int n = 0;
    for (const char c : name) {
        if (c < '0' || c > '9') return kNoSuchDescriptor;
        n = n * 10 + (c - '0');
    }
    return n;
}

// The number of the process's own open descriptor that `path` names
// (an entry of /proc/self/fd, reached also through /dev/fd, /dev/stdout,
// /dev/stderr or any other symbolic link); kNotOwn when it names none, and
// kNoSuchDescriptor for another name in that directory. Only names are
// looked at: nothing is opened.
int ownDescriptor(const char* path) {
    struct stat self {}, thread {};
    const bool haveSelf = ::stat("/proc/self/fd", &self) == 0;
    const bool haveThread = ::stat("/proc/thread-self/fd", &thread) == 0;
    if (!haveSelf && !haveThread) return kNotOwn;
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        const std::string directory = directoryPrefix(current);
        struct stat st {};
        if (::stat(directory.empty() ? "." : directory.c_str(), &st) == 0 &&
            ((haveSelf && sameNode(st, self)) || (haveThread && sameNode(st, thread))))
            return descriptorNumber(current.substr(directory.size()));
        std::string next;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
            !readLinkAt(AT_FDCWD, current.c_str(), st, next))
            return kNotOwn;
        current = next[0] == '/' ? next : directory + next;
    }
    return kNotOwn;
}

// The one place that decides how the destination is written, from what it
// is: one of our own descriptors, nothing yet, or the file found there.
Strategy decideStrategy(bool ownDescriptor, const struct stat* existing) {
    if (ownDescriptor) return Strategy::OwnDescriptor;
    if (existing == nullptr) return Strategy::Create;
    if (!S_ISREG(existing->st_mode)) return Strategy::Stream;
    return existing->st_nlink == 1 ? Strategy::Replace : Strategy::InPlace;
}

// A sticky directory that users other than its owner may write into (world-
// or group-writable, as /tmp or a clinic's shared folder): there a symbolic
// link or an existing file counts only when the caller or the directory's
// owner owns it, whatever the kernel's own protected_* settings are.
bool othersMayPlantIn(const struct stat& directory) {
    return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
bool trustedIn(const struct stat& directory, uid_t owner) {
    return owner == ::geteuid() || owner == directory.st_uid;
}

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Whether /proc reaches the open file `fd`, as linkat of an unnamed file needs.
bool procReaches(int fd) {
    struct stat viaProc {}, direct {};
    return ::stat(procPath(fd).c_str(), &viaProc) == 0 && ::fstat(fd, &direct) == 0 && sameNode(viaProc, direct);
}

// A read-only descriptor of the file open for writing as `fd`, which is
// `name` in `directory`; -1 when the caller may not read it.
int openForReading(int fd, int directory, const char* name, const struct stat& st) {
    int reader = ::open(procPath(fd).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (reader < 0) reader = ::openat(directory, name, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat now {};
    if (reader >= 0 && (::fstat(reader, &now) != 0 || !sameNode(now, st))) {
        ::close(reader);
        return -1;
    }
    return reader;
}

// A short, hard-to-guess name; O_EXCL makes a collision harmless.
std::string temporaryName() {
    static std::uint64_t counter = 0;
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                      (static_cast<std::uint64_t>(::getpid()) << 40) ^ (++counter * 0x9E3779B97F4A7C15ull);
    x ^= x >> 31;  // splitmix64 finaliser
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".gsd-";
    for (int i = 0; i < 10; ++i, x /= 36) name += kAlphabet[x % 36];
    return name;
}

// The value of the extended attribute `name` of `fd`; false (errno set) when
// it cannot be read.
bool readAttribute(int fd, const char* name, std::string& value) {
    for (;;) {
        const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
        if (size < 0) return false;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t n = ::fgetxattr(fd, name, value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
    }
}

// The names of the extended attributes of `fd`, each ending in a zero byte;
// empty where the file system has none.
bool listAttributes(int fd, std::string& names) {
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) {
            names.clear();
            return errno == ENOTSUP;
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t n = ::flistxattr(fd, names.data(), names.size());
        if (n >= 0) {
            names.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

}  // namespace

bool writesInPlaceAfter(int error) noexcept {
    return error == EACCES || error == EPERM || error == EBUSY || error == EXDEV;
}

OutputFileSeams& outputFileSeams() {
    static OutputFileSeams seams;
    return seams;
}

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

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
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
    }
    return true;
}

bool copyContent(int from, int to, std::uint64_t size) {
    static unsigned char block[1 << 16];
    for (off_t at = 0; size > 0;) {
        const std::size_t want = size < sizeof block ? static_cast<std::size_t>(size) : sizeof block;
        const ssize_t n = ::pread(from, block, want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // shorter than its content
        if (n <= 0 || !writeAll(to, block, static_cast<std::size_t>(n))) return false;
        at += n;
        size -= static_cast<std::uint64_t>(n);
    }
    return true;
}

void removeTemporaryOnSignals() {
    for (const int s : kCleanupSignals) {
        struct sigaction previous {};
        if (::sigaction(s, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removeTemporaryAndEnd;
        sigemptyset(&action.sa_mask);
        for (const int other : kCleanupSignals) sigaddset(&action.sa_mask, other);
        ::sigaction(s, &action, nullptr);
    }
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
