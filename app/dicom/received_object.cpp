#include "app/dicom/received_object.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "app/conversion/conversion.h"
#include "dicom/nm_attributes.h"
#include "dicom/uid.h"

namespace trevik::dicom {

namespace {

constexpr std::size_t kMostValueBytes = 64;
constexpr std::size_t kDigestDigits = 8;
constexpr std::size_t kCollisionDigits = 5;  // "-9999"
constexpr int kMostCollisions = 9999;
constexpr std::size_t kMostUid = 64;
constexpr const char* kMark = "user.trevik.instance";

// The longest suffix a file of a set may have, and the one that goes into
// the keep folder (every other into the inbox).
constexpr const char* kLongestSuffix = "-ew65535-rr65535.qc.png";
constexpr const char* kKeptSuffix = ".dcm";

// `text` from `at` starting with `part` and a number 1..65535 without a
// leading 0: true, with `at` past it; else false and `at` unchanged.
bool takeNumbered(const std::string& text, std::size_t& at, const char* part) {
    const std::size_t length = std::strlen(part);
    if (text.compare(at, length, part) != 0) return false;
    std::size_t end = at + length;
    long value = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - at - length < 5)
        value = value * 10 + (text[end++] - '0');
    if (end == at + length || text[at + length] == '0' || value > 65535) return false;
    at = end;
    return true;
}

std::string nameValue(DcmDataset& dataset, Nm id) {
    const DcmTagKey& tag = tagOf(id);
    OFString value;
    // The whole value, all its components, as the bytes were received.
    if (dataset.findAndGetOFStringArray(tag, value).bad() || value.empty()) return "unknown";
    std::string text(value.c_str(), value.length());
    const std::size_t last = text.find_last_not_of(' ');
    text.erase(last == std::string::npos ? 0 : last + 1);
    if (text.empty()) return "unknown";
    if (text.size() > kMostValueBytes) text.resize(kMostValueBytes);
    for (char& c : text) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.';
        if (!kept) c = '_';
    }
    return text;
}

}  // namespace

std::string receivedBaseName(DcmDataset& dataset) {
    std::string base;
    for (const Nm id : {Nm::PatientId, Nm::StudyDate, Nm::StudyTime, Nm::SeriesNumber}) {
        if (!base.empty()) base.push_back('_');
        base.append(nameValue(dataset, id));
    }
    if (base[0] == '.') base[0] = '_';
    return base;
}

Status convertReceived(DcmDataset& dataset, ObjectRead& read, Study& study, const SourceChoice& choice) {
    PathBuffer input{}, output{};
    Conversion conversion(study, input, output);
    conversion.readDicomWith(nullptr, choice);
    return conversion.loadHeld([&dataset, &read](StudyFacts& into, FrameSink& sink, const SourceChoice& taken,
                                                 const LoadOptions& options) {
        return loadRead(dataset, read, into, sink, taken, options);
    });
}

bool setSuffix(const std::string& suffix) {
    if (suffix == kKeptSuffix) return true;
    std::size_t at = 0;
    takeNumbered(suffix, at, "-ew");
    takeNumbered(suffix, at, "-rr");
    const std::string rest = suffix.substr(at);
    return rest == ".gsd" || rest == ".qc.png";
}

std::string instanceDigest(const std::string& instanceUid) {
    const std::array<std::uint8_t, 32> digest = Sha256().add(instanceUid).finish();
    return hexDigest(digest).substr(0, kDigestDigits);
}

std::string fittedBase(const std::string& base, long nameMax) {
    const std::size_t longest = std::strlen(kLongestSuffix);
    const long room = nameMax - static_cast<long>(1 + kDigestDigits + kCollisionDigits + longest);
    if (room <= 0) return "_";
    return base.size() > static_cast<std::size_t>(room) ? base.substr(0, static_cast<std::size_t>(room)) : base;
}

namespace {

std::string hiddenName(const std::string& folder, const char* what, int pid) {
    return folder + "/." + what + "-" + std::to_string(pid) + ".dcm";
}

}  // namespace

ReceivingFile::ReceivingFile(const std::string& folder) : folder_(folder) {
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
        path_ = "/proc/self/fd/" + std::to_string(fd_);
        struct stat info {};
        if (::stat(path_.c_str(), &info) == 0) return;
        ::close(fd_);  // no /proc: a named file instead
        fd_ = -1;
    }
    named_ = hiddenName(folder, "receiving", ::getpid());
    ::unlink(named_.c_str());
    const int fd = ::open(named_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        error_ = errno;
        named_.clear();
        path_.clear();
        return;
    }
    ::close(fd);
    path_ = named_;
}

ReceivingFile::~ReceivingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!named_.empty()) ::unlink(named_.c_str());
}

Status ReceivingFile::keepAs(const std::string& destination) {
    if (!named_.empty()) {
        if (::rename(named_.c_str(), destination.c_str()) != 0) return statusOf(Reason::CannotWrite, errno);
        named_.clear();
        return {};
    }
    // Linked under a hidden name, then renamed over the destination: the
    // name holds the old file or the whole new one.
    const std::string linked = hiddenName(folder_, "keeping", ::getpid());
    ::unlink(linked.c_str());
    if (::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return statusOf(Reason::CannotWrite, errno);
    if (::rename(linked.c_str(), destination.c_str()) != 0) {
        const int error = errno;
        ::unlink(linked.c_str());
        return statusOf(Reason::CannotWrite, error);
    }
    return {};
}

void ReceivingFile::removeLeftovers(const std::string& folder, int pid) {
    for (const char* what : {"receiving", "keeping"}) ::unlink(hiddenName(folder, what, pid).c_str());
}

InstanceFiles::~InstanceFiles() {
    if (lock_ >= 0) ::close(lock_);  // unlocks; a set not finished keeps its older files
}

std::string InstanceFiles::path(const std::string& suffix) const {
    return (suffix == kKeptSuffix ? keep_ : inbox_) + "/" + name_ + suffix;
}

std::vector<std::string> InstanceFiles::existing() const {
    std::vector<std::string> found;
    if (DIR* folder = ::opendir(inbox_.c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            const std::string file = entry->d_name;
            if (file.size() > name_.size() && file.compare(0, name_.size(), name_) == 0) {
                const std::string suffix = file.substr(name_.size());
                if (suffix != kKeptSuffix && setSuffix(suffix)) found.push_back(suffix);
            }
        }
        ::closedir(folder);
    }
    struct stat info {};
    if (!keep_.empty() && ::lstat(path(kKeptSuffix).c_str(), &info) == 0) found.push_back(kKeptSuffix);
    return found;
}

bool InstanceFiles::sameInstance() const {
    for (const std::string& suffix : existing()) {
        char mark[kMostUid + 1] = "";
        const ssize_t size = ::lgetxattr(path(suffix).c_str(), kMark, mark, kMostUid);
        // A file without the mark (a file system without extended
        // attributes, or a copy) is taken as the instance's own: the name
        // holds the digest of its UID.
        if (size < 0) return errno == ENODATA || errno == ENOTSUP;
        return std::string(mark, static_cast<std::size_t>(size)) == uid_;
    }
    return true;
}

Status InstanceFiles::open(const std::string& inbox, const std::string& keep, const std::string& base,
                           const std::string& instanceUid) {
    inbox_ = inbox;
    keep_ = keep;
    uid_ = instanceUid;
    lock_ = ::open(inbox.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0) return statusOf(Reason::CannotWrite, errno);
    long nameMax = ::fpathconf(lock_, _PC_NAME_MAX);
    if (!keep.empty()) {
        const long keepMax = ::pathconf(keep.c_str(), _PC_NAME_MAX);
        if (keepMax > 0 && (nameMax <= 0 || keepMax < nameMax)) nameMax = keepMax;
    }
    const std::string stem = fittedBase(base, nameMax > 0 ? nameMax : 255) + "-" + instanceDigest(instanceUid);
    for (int n = 1; n <= kMostCollisions; ++n) {
        name_ = n == 1 ? stem : stem + "-" + std::to_string(n);
        if (sameInstance()) return {};
    }
    return statusOf(Reason::CannotWrite, EEXIST);
}

void InstanceFiles::made(const std::string& suffix) {
    made_.push_back(suffix);
    (void)::lsetxattr(path(suffix).c_str(), kMark, uid_.data(), uid_.size(), 0);
}

void InstanceFiles::finish() {
    if (lock_ < 0) return;
    for (const std::string& suffix : existing())
        if (std::find(made_.begin(), made_.end(), suffix) == made_.end()) ::unlink(path(suffix).c_str());
    ::close(lock_);  // unlocks
    lock_ = -1;
}

void InstanceFiles::abandon() {
    if (lock_ < 0) return;
    for (const std::string& suffix : made_)
        if (suffix != kKeptSuffix) ::unlink(path(suffix).c_str());
    ::close(lock_);  // unlocks
    lock_ = -1;
}

}  // namespace trevik::dicom
