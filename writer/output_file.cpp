#include "writer/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace trevik::detail {

namespace {

constexpr int kOpenFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
constexpr int kMaxLinkHops = 40;  // the kernel's own limit (ELOOP)
constexpr int kTemporaryAttempts = 64;

// The directory part of `path` with its trailing slash, "" for a bare name.
std::string directoryPrefix(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links in the last component of `path` the way open()
// does, also a dangling one (open with O_CREAT creates its target). False
// for a loop or an unreadable link.
bool followLinks(std::string path, std::string& target) {
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = std::move(path);
            return true;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + 64, '\0');
        ssize_t n = 0;
        while ((n = ::readlink(path.c_str(), link.data(), link.size())) >= 0 &&
               static_cast<std::size_t>(n) == link.size()) {
            link.resize(link.size() * 2);  // possibly cut: try a larger buffer
        }
        if (n <= 0) return false;
        link.resize(static_cast<std::size_t>(n));
        path = link[0] == '/' ? link : directoryPrefix(path) + link;
    }
    return false;
}

bool isSameFile(const std::string& path, const struct stat& opened) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == opened.st_dev && st.st_ino == opened.st_ino;
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
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

OutputFile::~OutputFile() { discardTemporary(); }

bool OutputFile::open(const char* path) {
    if (path == nullptr || *path == '\0') return false;

    // Opening without truncation is the explicit writability check: a
    // read-only file or a directory is refused here, before a rename could
    // replace it. It follows links as "w" would, magic /proc links included.
    direct_.reset(::open(path, kOpenFlags));
    if (direct_) {
        struct stat st {};
        if (::fstat(direct_.get(), &st) != 0) return false;
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return true;  // in place
        // Replace through a temporary only when the link-followed name is
        // still the very file just opened.
        if (followLinks(path, target_) && isSameFile(target_, st) && createTemporary(0600)) {
            // Keep the owner where we may (root) and the permission bits;
            // fchown first, as it may clear set-id bits.
            if (::fchown(temp_.get(), st.st_uid, st.st_gid) != 0) {
                // not permitted: the file becomes ours, as a rewrite by a new owner would
            }
            if (::fchmod(temp_.get(), st.st_mode & 07777) == 0) return true;
            discardTemporary();
        }
        return true;  // in place
    }
    if (errno != ENOENT) return false;  // exists but cannot be written, or a bad path

    // A missing file: create it through a temporary with the mode "w" gives.
    if (!followLinks(path, target_) || target_.empty() || target_.back() == '/') return false;
    if (createTemporary(0666)) return true;
    direct_.reset(::open(target_.c_str(), kOpenFlags | O_CREAT, 0666));
    return static_cast<bool>(direct_);
}

bool OutputFile::createTemporary(unsigned mode) {
    const std::string prefix = directoryPrefix(target_);
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        std::string candidate = prefix + temporaryName();
        const int fd = ::open(candidate.c_str(), kOpenFlags | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
        if (fd >= 0) {
            temp_.reset(fd);
            tempPath_ = std::move(candidate);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void OutputFile::discardTemporary() noexcept {
    temp_.reset();
    if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
    tempPath_.clear();
}

bool OutputFile::writeInPlace(const ContentWriter& content) {
    struct stat st {};
    if (!direct_ || ::fstat(direct_.get(), &st) != 0) return false;
    if (S_ISREG(st.st_mode) && ::ftruncate(direct_.get(), 0) != 0) return false;
    return content(direct_.get()) && direct_.close();
}

bool OutputFile::commit(const ContentWriter& content) {
    if (tempPath_.empty()) return writeInPlace(content);

    if (!content(temp_.get()) || !temp_.close()) {
        discardTemporary();
        return false;
    }
    if (::rename(tempPath_.c_str(), target_.c_str()) == 0) {
        tempPath_.clear();
        return true;
    }
    const int error = errno;
    discardTemporary();
    // The directory let us create the temporary but not rename over the
    // destination (a sticky directory, a mount point): write in place.
    if (error != EACCES && error != EPERM && error != EBUSY && error != EXDEV) return false;
    if (!direct_) direct_.reset(::open(target_.c_str(), kOpenFlags | O_CREAT, 0666));
    return writeInPlace(content);
}

}  // namespace trevik::detail
