#include "app/dicom/commitment.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "app/dicom/received_object.h"
#include "dicom/nm_attributes.h"
#include "reader/dicom/nesting.h"

namespace trevik::dicom {

namespace {

constexpr std::uint16_t kMissingAttribute = 0x0120;
constexpr std::uint16_t kMissingValue = 0x0121;
constexpr std::uint16_t kInvalidValue = 0x0115;
constexpr std::uint16_t kResourceLimitation = 0x0213;
constexpr std::size_t kMostUid = 64;
constexpr std::size_t kDigestDigits = 8;
constexpr std::size_t kMostCollisionDigits = 4;
// The kept object is read up to its SOP Instance UID, and values longer
// than this are left in the file.
const DcmTagKey kPastInstanceUid(0x0008, 0x0019);
constexpr Uint32 kMostLoaded = 4096;

bool allOf(const std::string& text, const char* set) {
    return !text.empty() && text.find_first_not_of(set) == std::string::npos;
}

std::string trimmedUid(std::string uid) {
    while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0')) uid.pop_back();
    return uid;
}

// The UID value of `tag` in `item` into `uid`: 0, or the status that says
// why there is none.
std::uint16_t uidOf(DcmItem& item, const DcmTagKey& tag, const char* what, std::string& uid, std::string& error) {
    DcmElement* element = nullptr;
    if (item.findAndGetElement(tag, element).bad() || !element) {
        error = std::string("no ") + what;
        return kMissingAttribute;
    }
    OFString value;
    // A value longer than a UID with its padding is not copied.
    if (element->ident() == EVR_SQ || element->getLength() > kMostUid + 1 || element->getOFStringArray(value).bad()) {
        error = std::string(what) + " is not a UID";
        return kInvalidValue;
    }
    uid = trimmedUid(std::string(value.c_str(), value.length()));
    if (uid.empty()) {
        error = std::string("empty ") + what;
        return kMissingValue;
    }
    if (!validUid(uid)) {
        error = std::string(what) + " \"" + uid.substr(0, kMostUid) + "\" is not a UID";
        return kInvalidValue;
    }
    return 0;
}

// The digest of a kept object's name (BASE-DIGEST.dcm, BASE-DIGEST-N.dcm);
// false for every other name.
bool keptDigest(const std::string& name, std::string& digest) {
    constexpr std::size_t kSuffix = 4;  // ".dcm"
    if (name.empty() || name[0] == '.' || name.size() <= kSuffix ||
        name.compare(name.size() - kSuffix, kSuffix, ".dcm") != 0)
        return false;
    std::string stem = name.substr(0, name.size() - kSuffix);
    const std::size_t dash = stem.rfind('-');
    if (dash != std::string::npos && stem.size() - dash - 1 <= kMostCollisionDigits &&
        allOf(stem.substr(dash + 1), "0123456789") && stem[dash + 1] != '0')
        stem.resize(dash);
    if (stem.size() < kDigestDigits + 2 || stem[stem.size() - kDigestDigits - 1] != '-') return false;
    digest = stem.substr(stem.size() - kDigestDigits);
    return allOf(digest, "0123456789abcdef");
}

// The SOP Class and Instance UIDs of the data set in the open file `fd`.
bool ownUids(int fd, std::string& classUid, std::string& instanceUid) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // Sequences nested past what DCMTK's parser survives are refused by a
    // scan of the raw bytes first, as when the object was received.
    if (!checkNestingOfFile(path.c_str()).ok()) return false;
    DcmFileFormat file;
    if (file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, kMostLoaded, ERM_autoDetect, kPastInstanceUid)
            .bad())
        return false;
    OFString cls, instance;
    if (file.getDataset()->findAndGetOFStringArray(tagOf(Nm::SopClassUid), cls).bad() ||
        file.getDataset()->findAndGetOFStringArray(tagOf(Nm::SopInstanceUid), instance).bad())
        return false;
    classUid = trimmedUid(cls.c_str());
    instanceUid = trimmedUid(instance.c_str());
    return true;
}

// The fields of a request (readCommitmentRequest).
std::uint16_t readRequest(DcmDataset* data, CommitmentRequest& request, std::string& error) {
    request = {};
    if (!data) {
        error = "no data set";
        return kMissingAttribute;
    }
    if (const std::uint16_t s = uidOf(*data, DCM_TransactionUID, "Transaction UID", request.transactionUid, error))
        return s;
    DcmElement* element = nullptr;
    if (data->findAndGetElement(DCM_ReferencedSOPSequence, element).bad() || !element) {
        error = "no Referenced SOP Sequence";
        return kMissingAttribute;
    }
    if (element->ident() != EVR_SQ) {
        error = "the Referenced SOP Sequence is not a sequence";
        return kInvalidValue;
    }
    auto& sequence = static_cast<DcmSequenceOfItems&>(*element);
    if (sequence.card() == 0) {
        error = "an empty Referenced SOP Sequence";
        return kMissingValue;
    }
    if (sequence.card() > kMostCommitted) {
        error = std::to_string(sequence.card()) + " instances, more than " + std::to_string(kMostCommitted);
        return kResourceLimitation;
    }
    for (unsigned long i = 0; i < sequence.card(); ++i) {
        CommittedInstance instance;
        DcmItem& item = *sequence.getItem(i);
        std::string why;
        std::uint16_t s = uidOf(item, DCM_ReferencedSOPClassUID, "Referenced SOP Class UID", instance.classUid, why);
        if (!s) s = uidOf(item, DCM_ReferencedSOPInstanceUID, "Referenced SOP Instance UID", instance.instanceUid, why);
        if (s) {
            error = "item " + std::to_string(i + 1) + ": " + why;
            return s;
        }
        request.instances.push_back(std::move(instance));
    }
    return 0;
}

}  // namespace

bool validUid(const std::string& uid) {
    if (uid.empty() || uid.size() > kMostUid || uid.front() == '.' || uid.back() == '.') return false;
    for (std::size_t i = 0; i < uid.size(); ++i) {
        const char c = uid[i];
        if (c == '.') {
            if (uid[i + 1] == '.') return false;
        } else if (c < '0' || c > '9') {
            return false;
        } else if (c == '0' && (i == 0 || uid[i - 1] == '.') && i + 1 < uid.size() && uid[i + 1] != '.') {
            return false;  // a number with a leading zero
        }
    }
    return true;
}

std::uint16_t readCommitmentRequest(DcmDataset* data, CommitmentRequest& request, std::string& error) {
    try {
        return readRequest(data, request, error);
    } catch (const std::bad_alloc&) {
        request = {};
        error = "not enough memory for the request";
        return kResourceLimitation;
    }
}

KeptObjects::KeptObjects(const std::string& folder) {
    folder_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        error_ = errno;
        return;
    }
    const int listed = ::dup(folder_);
    DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!entries) {
        error_ = errno;
        if (listed >= 0) ::close(listed);
        ::close(folder_);
        folder_ = -1;
        return;
    }
    std::string digest;
    while (const dirent* entry = ::readdir(entries))
        if (keptDigest(entry->d_name, digest)) byDigest_[digest].push_back(entry->d_name);
    ::closedir(entries);
}

KeptObjects::~KeptObjects() {
    if (folder_ >= 0) ::close(folder_);
}

bool KeptObjects::open(std::string& error) const {
    if (folder_ < 0) error = std::strerror(error_);
    return folder_ >= 0;
}

std::uint16_t KeptObjects::lookUp(const CommittedInstance& instance) {
    const auto found = byDigest_.find(instanceDigest(instance.instanceUid));
    if (found == byDigest_.end()) return kNoSuchInstance;
    std::uint16_t reason = kNoSuchInstance;
    for (const std::string& name : found->second) {
        // Never through a symbolic link, never a device or a pipe.
        const int fd = ::openat(folder_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info {};
        std::string classUid, instanceUid;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ownUids(fd, classUid, instanceUid) &&
            instanceUid == instance.instanceUid) {
            if (classUid != instance.classUid) {
                reason = kClassInstanceConflict;
            } else {
                const bool synced = ::fsync(fd) == 0;
                ::close(fd);
                return synced ? kCommitted : kProcessingFailure;
            }
        }
        ::close(fd);
    }
    return reason;
}

void KeptObjects::commit(CommitmentRequest& request) {
    bool any = false;
    for (CommittedInstance& instance : request.instances) {
        instance.reason = folder_ < 0 ? kProcessingFailure : lookUp(instance);
        any = any || instance.reason == kCommitted;
    }
    // The names of the objects committed are on the disk with their folder.
    if (any && ::fsync(folder_) != 0)
        for (CommittedInstance& instance : request.instances)
            if (instance.reason == kCommitted) instance.reason = kProcessingFailure;
}

std::uint16_t buildCommitmentReport(const CommitmentRequest& request, DcmDataset& report) {
    report.putAndInsertString(DCM_TransactionUID, request.transactionUid.c_str());
    bool failed = false;
    for (const CommittedInstance& instance : request.instances) {
        const bool committed = instance.reason == kCommitted;
        failed = failed || !committed;
        DcmItem* item = nullptr;
        if (report.findOrCreateSequenceItem(committed ? DCM_ReferencedSOPSequence : DCM_FailedSOPSequence, item, -2)
                .bad())
            continue;
        item->putAndInsertString(DCM_ReferencedSOPClassUID, instance.classUid.c_str());
        item->putAndInsertString(DCM_ReferencedSOPInstanceUID, instance.instanceUid.c_str());
        if (!committed) item->putAndInsertUint16(DCM_FailureReason, instance.reason);
    }
    return failed ? 2 : 1;
}

}  // namespace trevik::dicom
