#include "app/dicom/set_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>

namespace trevik::dicom {

namespace {

constexpr mode_t kFileMode = 0640;  // the umask may take more, never give
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* kNaming = "naming";
constexpr const char* kKinds[] = {"receiving", "writing", kNaming};

std::string hiddenName(const char* what, int pid) {
    std::string name = ".";
    name.append(what).append("-").append(std::to_string(pid));
    return name;
}

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Whether /proc reaches the open file `fd`: DCMTK and the writers write
// through that path, and linkat names an unnamed file through it.
bool procReaches(int fd) {
    struct stat viaProc {}, direct {};
    return ::stat(procPath(fd).c_str(), &viaProc) == 0 && ::fstat(fd, &direct) == 0 &&
           viaProc.st_dev == direct.st_dev && viaProc.st_ino == direct.st_ino;
}

int syncFolder(int folder) {
    if (folder < 0) return 0;
    while (::fsync(folder) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int syncFile(int fd) {
    while (::fsync(fd) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

}  // namespace

SetFolders::~SetFolders() {
    if (inbox_ >= 0) ::close(inbox_);
    if (keep_ >= 0) ::close(keep_);
}

bool SetFolders::open(const std::string& inbox, const std::string& keep, bool sync, std::string& reason) {
    sync_ = sync;
    for (const auto& [path, fd, what] : {std::tuple<const std::string&, int&, const char*>{inbox, inbox_, "--inbox "},
                                         std::tuple<const std::string&, int&, const char*>{keep, keep_, "--keep "}}) {
        if (path.empty()) continue;
        fd = ::open(path.c_str(), kFolderFlags);
        if (fd < 0) {
            const int error = errno;
            reason = what + path + ": " +
                     (error == ELOOP || error == ENOTDIR ? "not a folder (a symbolic link is not followed: give the "
                                                           "folder it points to)"
                                                         : std::strerror(error));
            return false;
        }
    }
    return true;
}

int SetFolders::syncAll() const {
    if (!sync_) return 0;
    const int inbox = syncFolder(inbox_);
    const int keep = syncFolder(keep_);
    return inbox != 0 ? inbox : keep;
}

std::string SetFolders::removed() const {
    for (const int fd : {inbox_, keep_}) {
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_nlink == 0)
            return std::string(fd == inbox_ ? "the inbox" : "the keep folder") +
                   " was removed while the node ran (it writes into the folder it opened at start: restart it)";
    }
    return {};
}

NewFile::NewFile(int folder, const char* what) : folder_(folder) {
    fd_ = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kFileMode);
    if (fd_ >= 0 && !procReaches(fd_)) {
        ::close(fd_);
        fd_ = -1;
        errno = ENOENT;
    } else if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a hidden name of the process.
        hidden_ = hiddenName(what, ::getpid());
        ::unlinkat(folder, hidden_.c_str(), 0);
        fd_ = ::openat(folder, hidden_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (fd_ < 0) hidden_.clear();
    }
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    if (!procReaches(fd_)) {
        error_ = ENOENT;  // no /proc to write the file through
        return;
    }
    path_ = procPath(fd_);
}

NewFile::~NewFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!hidden_.empty()) ::unlinkat(folder_, hidden_.c_str(), 0);
}

Status NewFile::giveName(const std::string& name, bool sync, std::string& had) {
    had.clear();
    if (path_.empty()) return statusOf(Reason::CannotWrite, error_ != 0 ? error_ : EBADF);
    if (sync) {
        if (const int error = syncFile(fd_); error != 0) {
            syncFailed_ = true;
            return statusOf(Reason::CannotWrite, error);
        }
    }
    if (hidden_.empty()) {
        // The unnamed file gets a hidden name of the process first: a
        // rename is what replaces a name whatever it holds.
        const std::string naming = hiddenName(kNaming, ::getpid());
        ::unlinkat(folder_, naming.c_str(), 0);
        if (::linkat(AT_FDCWD, path_.c_str(), folder_, naming.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return statusOf(Reason::CannotWrite, errno);
        hidden_ = naming;
    }
    had = oddEntry(folder_, name);
    if (had == "a folder") {
        ::unlinkat(folder_, hidden_.c_str(), 0);
        hidden_.clear();
        return statusOf(Reason::CannotWrite, EISDIR);
    }
    if (::renameat(folder_, hidden_.c_str(), folder_, name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(folder_, hidden_.c_str(), 0);
        hidden_.clear();
        return statusOf(Reason::CannotWrite, error);
    }
    hidden_.clear();
    return {};
}

void NewFile::removeLeftovers(int folder, int pid) {
    if (folder < 0) return;
    for (const char* what : kKinds) ::unlinkat(folder, hiddenName(what, pid).c_str(), 0);
}

bool makeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0) return errno == EEXIST;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t mode = (mask & 0070) == 0070 ? 02700 : 02770;
    const int fd = ::open(path.c_str(), kFolderFlags);
    if (fd < 0) return false;
    const bool set = ::fchmod(fd, mode) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return set;
}

std::string oddEntry(int folder, const std::string& name) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISREG(st.st_mode)) return {};
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    return "a device";
}

}  // namespace trevik::dicom
