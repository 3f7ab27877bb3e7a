#include "writer/output_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace trevik::detail {

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

namespace {

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

}  // namespace

// The number of the process's own open descriptor that `path` names
// (an entry of /proc/self/fd, reached also through /dev/fd, /dev/stdout,
// /dev/stderr or any other symbolic link); kNotOwn when it names none, and
// kNoSuchDescriptor for another name in that directory. Only names are
// looked at: nothing is opened.
int ownDescriptor(const char* path) {
    // The descriptor directories are looked at only for a directory on a
    // file system without a device of its own (major number 0: /proc, and
    // tmpfs and the like): a folder on a disk is never one of them.
    struct stat self {}, thread {};
    bool looked = false, haveSelf = false, haveThread = false;
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        const std::string directory = directoryPrefix(current);
        struct stat st {};
        const bool found = ::stat(directory.empty() ? "." : directory.c_str(), &st) == 0;
        if (found && major(st.st_dev) == 0 && !looked) {
            looked = true;
            haveSelf = ::stat("/proc/self/fd", &self) == 0;
            haveThread = ::stat("/proc/thread-self/fd", &thread) == 0;
        }
        if (found && ((haveSelf && sameNode(st, self)) || (haveThread && sameNode(st, thread))))
            return descriptorNumber(current.substr(directory.size()));
        std::string next;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
            !readLinkAt(AT_FDCWD, current.c_str(), st, next))
            return kNotOwn;
        current = next[0] == '/' ? next : directory + next;
    }
    return kNotOwn;
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
    // Each thread counts its own names and mixes in its thread id, so that
    // two threads never share state nor, at the same instant, a name.
    thread_local std::uint64_t counter = 0;
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                      (static_cast<std::uint64_t>(::getpid()) << 40) ^
                      (static_cast<std::uint64_t>(::gettid()) << 20) ^ (++counter * 0x9E3779B97F4A7C15ull);
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

}  // namespace trevik::detail
