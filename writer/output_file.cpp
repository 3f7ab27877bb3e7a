#include "writer/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace trevik::detail {

namespace {

constexpr int kOpenFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
constexpr int kMaxLinkHops = 40;  // the kernel's own limit (ELOOP)
constexpr int kTemporaryAttempts = 64;
constexpr mode_t kSetIdBits = S_ISUID | S_ISGID;

// The temporary file that exists right now, for the signal handler: set
// before the file is created and cleared once it is renamed or removed,
// always with the cleanup signals held back, so the handler never sees a
// half-copied name nor removes a name that is no longer ours.
char pendingTemporary[PATH_MAX];
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds SIGINT, SIGTERM and SIGHUP back in this thread while it lives.
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
    if (pendingTemporary[0] != '\0') ::unlink(pendingTemporary);
    ::signal(signal, SIG_DFL);
    ::raise(signal);  // held until the handler returns, then ends the process
}

// The directory part of `path` with its trailing slash, "" for a bare name.
std::string directoryPrefix(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The target of the symbolic link `path` (relative targets made relative to
// the link's directory); false when it cannot be read.
bool readLink(const std::string& path, const struct stat& st, std::string& next) {
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + 64, '\0');
    ssize_t n = 0;
    while ((n = ::readlink(path.c_str(), link.data(), link.size())) >= 0 &&
           static_cast<std::size_t>(n) == link.size()) {
        link.resize(link.size() * 2);  // possibly cut: try a larger buffer
    }
    if (n <= 0) {
        if (n == 0) errno = ENOENT;
        return false;
    }
    link.resize(static_cast<std::size_t>(n));
    next = link[0] == '/' ? link : directoryPrefix(path) + link;
    return true;
}

// Follows symbolic links in the last component of `path` the way open()
// does, also a dangling one (open with O_CREAT creates its target). False
// (errno set) for a loop or an unreadable link.
bool followLinks(std::string path, std::string& target) {
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = std::move(path);
            return true;
        }
        if (!readLink(path, st, path)) return false;
    }
    errno = ELOOP;
    return false;
}

bool sameNode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool isSameFile(const std::string& path, const struct stat& opened) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && sameNode(st, opened);
}

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
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || !readLink(current, st, current))
            return kNotOwn;
    }
    return kNotOwn;
}

// Opens `path` for writing without waiting for a FIFO's reader (a FIFO that
// no one reads gives ENXIO at once), then clears O_NONBLOCK again so the
// writes themselves wait as usual. -1 with errno set on failure.
int openForWriting(const char* path, int flags, mode_t mode = 0) {
    const int fd = ::open(path, kOpenFlags | O_NONBLOCK | flags, mode);
    if (fd < 0) return -1;
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
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

// The errors of a directory that does not let us create or rename a file
// of our own there, where writing the destination in place may still work.
bool directoryForbids(int error) { return error == EACCES || error == EPERM; }

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

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
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

bool OutputFile::open(const char* path) {
    if (path == nullptr || *path == '\0') return fail(ENOENT);

    // One of our own descriptors (the shell's redirection, a pipe): write
    // where it stands, never replace what it refers to.
    if (const int own = ownDescriptor(path); own != kNotOwn) {
        if (own == kNoSuchDescriptor) return fail(EBADF);
        inherited_.reset(::fcntl(own, F_DUPFD_CLOEXEC, 0));
        return inherited_ ? true : fail(errno);
    }

    // Opening without truncation is the explicit writability check: a
    // read-only file or a directory is refused here, before a rename could
    // replace it. Without blocking, so a FIFO that no one reads is refused
    // at once (ENXIO) rather than waited on.
    direct_.reset(openForWriting(path, 0));
    if (direct_) return openExisting(path);
    if (errno != ENOENT) return fail(errno);  // exists but cannot be written, or a bad path

    // A missing file: create it through a temporary with the mode "w" gives.
    if (!followLinks(path, target_)) return fail(errno);
    if (target_.empty() || target_.back() == '/') return fail(EISDIR);
    if (createTemporary(0666)) return true;
    if (!directoryForbids(errno)) return fail(errno);
    direct_.reset(openForWriting(target_.c_str(), O_CREAT, 0666));
    return direct_ ? true : fail(errno);
}

bool OutputFile::openExisting(const char* path) {
    struct stat st {};
    if (::fstat(direct_.get(), &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return true;  // in place
    // Replace through a temporary only when the link-followed name is still
    // the very file just opened; otherwise write that file in place.
    if (!followLinks(path, target_) || !isSameFile(target_, st)) return true;
    if (!createTemporary(0600)) return directoryForbids(errno) ? true : fail(errno);
    // Keep the owner where we may (root) and the permission bits, less the
    // set-ID bits: fchown first, as it may clear them anyway.
    if (::fchown(temp_.get(), st.st_uid, st.st_gid) != 0) {
        // not permitted: the file becomes ours, as a rewrite by a new owner would
    }
    if (::fchmod(temp_.get(), st.st_mode & 07777 & ~kSetIdBits) == 0) return true;
    discardTemporary();
    return true;  // the mode cannot be kept on a new file: write the old one in place
}

bool OutputFile::createTemporary(unsigned mode) {
    const std::string prefix = directoryPrefix(target_);
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        std::string candidate = prefix + temporaryName();
        if (candidate.size() >= sizeof pendingTemporary) {
            errno = ENAMETOOLONG;
            return false;
        }
        int fd = -1;
        int error = 0;
        {
            SignalsHeld held;
            std::memcpy(pendingTemporary, candidate.c_str(), candidate.size() + 1);
            fd = ::open(candidate.c_str(), kOpenFlags | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
            error = errno;
            if (fd < 0) pendingTemporary[0] = '\0';
        }
        if (fd >= 0) {
            temp_.reset(fd);
            tempPath_ = std::move(candidate);
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

void OutputFile::discardTemporary() noexcept {
    temp_.reset();
    if (tempPath_.empty()) return;
    SignalsHeld held;
    ::unlink(tempPath_.c_str());
    pendingTemporary[0] = '\0';
    tempPath_.clear();
}

bool OutputFile::writeInPlace(const ContentWriter& content, std::uint64_t size) {
    struct stat st {};
    if (!direct_ || ::fstat(direct_.get(), &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return content(direct_.get()) && direct_.close() ? true : fail(errno);

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

bool OutputFile::commit(const ContentWriter& content, std::uint64_t size) {
    if (inherited_) return content(inherited_.get()) && inherited_.close() ? true : fail(errno);
    if (tempPath_.empty()) return writeInPlace(content, size);

    if (!content(temp_.get()) || !temp_.close()) {
        fail(errno);
        discardTemporary();
        return false;
    }
    int error = 0;
    {
        SignalsHeld held;
        if (::rename(tempPath_.c_str(), target_.c_str()) == 0) {
            pendingTemporary[0] = '\0';
            tempPath_.clear();
            return true;
        }
        error = errno;
    }
    discardTemporary();
    // The directory let us create the temporary but not rename over the
    // destination (a sticky directory, a mount point): write in place.
    if (error != EACCES && error != EPERM && error != EBUSY && error != EXDEV) return fail(error);
    if (!direct_) direct_.reset(openForWriting(target_.c_str(), O_CREAT, 0666));
    if (!direct_) return fail(errno);
    return writeInPlace(content, size);
}

}  // namespace trevik::detail
