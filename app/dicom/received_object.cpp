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

// The instance mark of the regular file `name` in `folder`: 1 when it is
// `uid` or the file has no mark, 0 when it is another, -1 when the entry is
// not a regular file.
int markedWith(int folder, const std::string& name, const std::string& uid) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return -1;
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    char mark[kMostUid + 1] = "";
    const ssize_t size = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::fgetxattr(fd, kMark, mark, kMostUid) : -2;
    const int error = errno;
    ::close(fd);
    if (size == -2) return -1;
    if (size < 0) return error == ENODATA || error == ENOTSUP ? 1 : 0;
    return std::string(mark, static_cast<std::size_t>(size)) == uid ? 1 : 0;
}

}  // namespace

InstanceFiles::~InstanceFiles() { unlock(); }  // a set not finished keeps its older files

void InstanceFiles::unlock() {
    if (lock_ >= 0) ::close(lock_);  // unlocks
    lock_ = -1;
}

int InstanceFiles::folderOf(const std::string& suffix) const { return folders_->of(suffix == kKeptSuffix); }

std::vector<std::string> InstanceFiles::existing() const {
    std::vector<std::string> found;
    if (const int listing = ::openat(folders_->inbox(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); listing >= 0) {
        if (DIR* folder = ::fdopendir(listing)) {
            while (const dirent* entry = ::readdir(folder)) {
                const std::string file = entry->d_name;
                if (file.size() > name_.size() && file.compare(0, name_.size(), name_) == 0) {
                    const std::string suffix = file.substr(name_.size());
                    if (suffix != kKeptSuffix && setSuffix(suffix)) found.push_back(suffix);
                }
            }
            ::closedir(folder);
        } else {
            ::close(listing);
        }
    }
    struct stat info {};
    if (folders_->keep() >= 0 &&
        ::fstatat(folders_->keep(), (name_ + kKeptSuffix).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        found.push_back(kKeptSuffix);
    return found;
}

bool InstanceFiles::sameInstance() const {
    // Only a regular file carries an instance. A file without the mark (a
    // file system without extended attributes, or a copy) is taken as the
    // instance's own: the name holds the digest of its UID.
    for (const std::string& suffix : existing())
        if (const int marked = markedWith(folderOf(suffix), name_ + suffix, uid_); marked >= 0) return marked == 1;
    return true;
}

Status InstanceFiles::open(const SetFolders& folders, const std::string& base, const std::string& instanceUid) {
    folders_ = &folders;
    uid_ = instanceUid;
    // A description of its own: the lock is per open file description,
    // and the node's processes share the inbox's.
    lock_ = ::openat(folders.inbox(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0) return statusOf(Reason::CannotWrite, errno);
    long nameMax = ::fpathconf(lock_, _PC_NAME_MAX);
    if (folders.keep() >= 0) {
        const long keepMax = ::fpathconf(folders.keep(), _PC_NAME_MAX);
        if (keepMax > 0 && (nameMax <= 0 || keepMax < nameMax)) nameMax = keepMax;
    }
    const std::string stem = fittedBase(base, nameMax > 0 ? nameMax : 255) + "-" + instanceDigest(instanceUid);
    for (int n = 1; n <= kMostCollisions; ++n) {
        name_ = n == 1 ? stem : stem + "-" + std::to_string(n);
        if (sameInstance()) {
            before_ = existing();
            return {};
        }
    }
    return statusOf(Reason::CannotWrite, EEXIST);
}

Status InstanceFiles::give(NewFile& file, const std::string& suffix) {
    if (file.fd() >= 0) (void)::fsetxattr(file.fd(), kMark, uid_.data(), uid_.size(), 0);
    std::string had;
    const Status given = file.giveName(name_ + suffix, folders_->sync(), had);
    if (had == "a folder")
        refused_ = name_ + suffix;
    else if (!had.empty())
        odd_.push_back(name_ + suffix + " was " + had);
    if (given.ok()) made_.push_back(suffix);
    if (file.syncFailed()) {
        // Not on the disk: nothing of the object is promised.
        syncFailed_ = true;
        remove(true);
        unlock();
    }
    return given;
}

void InstanceFiles::remove(bool kept) {
    for (const std::string& suffix : made_)
        if (kept || suffix != kKeptSuffix) ::unlinkat(folderOf(suffix), (name_ + suffix).c_str(), 0);
    made_.clear();
}

Status InstanceFiles::finish() {
    if (lock_ < 0) return {};
    for (const std::string& suffix : existing()) {
        if (std::find(made_.begin(), made_.end(), suffix) != made_.end()) continue;
        if (::unlinkat(folderOf(suffix), (name_ + suffix).c_str(), 0) == 0) removed_.push_back(name_ + suffix);
    }
    return keepOnly();
}

Status InstanceFiles::keepOnly() {
    if (lock_ < 0) return {};
    if (const int error = folders_->syncAll(); error != 0) {
        syncFailed_ = true;
        remove(true);
        unlock();
        return statusOf(Reason::CannotWrite, error);
    }
    unlock();
    return {};
}

void InstanceFiles::abandon() {
    if (lock_ < 0) return;
    remove(false);
    unlock();
}

std::string InstanceFiles::changes() const {
    std::string replaced, removed, odd;
    for (const std::string& suffix : made_)
        if (std::find(before_.begin(), before_.end(), suffix) != before_.end())
            replaced += (replaced.empty() ? "" : ", ") + name_ + suffix;
    for (const std::string& file : removed_) removed += (removed.empty() ? "" : ", ") + file;
    for (const std::string& note : odd_) odd += "; " + note + ", replaced as a name";
    std::string words;
    if (!replaced.empty()) words = "replaced " + replaced;
    if (!removed.empty()) words += (words.empty() ? "" : "; ") + ("removed " + removed);
    return words.empty() ? odd.empty() ? "" : odd.substr(2) : words + odd;
}

}  // namespace trevik::dicom
