// What the receiving node does with one NM object: the names its files get
// in the inbox and the keep folder, and its conversion to the study.
#pragma once

#include <string>
#include <vector>

#include "reader/dicom/object_read.h"
#include "study/status.h"
#include "study/study.h"

class DcmDataset;

namespace trevik::dicom {

// The base of the names an object gets: Patient ID, Study Date, Study Time
// and Series Number joined by "_", every byte outside letters, digits, "-"
// and "." replaced by "_" (a patient identifier is not a path), a missing
// value as "unknown", a leading "." as "_" (a hidden file would not be
// seen), each value cut to 64 bytes.
std::string receivedBaseName(DcmDataset& dataset);

// Converts the object read once into `read` (object_read.h) through the
// conversion flow that `trevik-dicom import` converts a file through: the
// data set held here is handed to the flow with that read bound to it,
// taking `choice`'s energy window and R-R interval (named in the comment
// where the object gives none, as import names a window taken out of
// several); every fact of the study from this object alone, the frames
// into the study's frame store.
Status convertReceived(DcmDataset& dataset, ObjectRead& read, Study& study, const SourceChoice& choice = {});

// The files made from one received instance, named together
// BASE-DIGEST followed by each file's own suffix (".gsd", "-ew2.gsd",
// "-rr2.gsd", "-ew2-rr3.gsd", each of them with ".qc.png" in place of
// ".gsd", in the inbox; ".dcm" in the keep folder), DIGEST
// the first 8 hexadecimal digits of the SHA-256 of the SOP Instance UID.
// The base is cut so that every name fits the file system's limit
// (NAME_MAX), digest and suffix kept. Each file is marked with the whole
// UID (extended attribute user.trevik.instance, where the file system has
// them): the same instance received again replaces its whole set; another
// instance whose name clashes (a digest collision) gets BASE-DIGEST-2,
// -3 ..., never an overwrite. While the set is open, the inbox is locked
// (flock), so processes that receive at once never mix their sets.
class InstanceFiles {
public:
    InstanceFiles() = default;
    ~InstanceFiles();
    InstanceFiles(const InstanceFiles&) = delete;
    InstanceFiles& operator=(const InstanceFiles&) = delete;

    // Locks the inbox and chooses the set's name.
    Status open(const std::string& inbox, const std::string& keep, const std::string& base,
                const std::string& instanceUid);
    // The path of the set's file with `suffix` in the folder it belongs to.
    std::string path(const std::string& suffix) const;
    const std::string& name() const { return name_; }
    // Marks a file of the set as made now, with the instance's UID.
    void made(const std::string& suffix);
    // Removes the files of the set that were not made now (left from an
    // earlier receipt of the same instance), and unlocks. A set not
    // finished (its conversion failed) is unlocked with its older files.
    void finish();
    // Removes the files of the set made now but the kept object (a
    // conversion of one of its windows failed after others were written:
    // no part of a failed object stays in the inbox), and unlocks.
    void abandon();

private:
    // The suffixes of the files of the set under name_ that exist.
    std::vector<std::string> existing() const;
    bool sameInstance() const;  // of an existing set under name_

    std::string inbox_, keep_, uid_, name_;
    std::vector<std::string> made_;
    int lock_ = -1;
};

// The file one object is received into, in the folder where it may be
// kept: unnamed (O_TMPFILE), reached through /proc/self/fd, so that a
// process that ends in the middle leaves nothing; where the file system
// refuses that, a hidden file named after the process (removed when this
// ends, or by the node's parent when the process was killed).
class ReceivingFile {
public:
    explicit ReceivingFile(const std::string& folder);
    ~ReceivingFile();
    ReceivingFile(const ReceivingFile&) = delete;
    ReceivingFile& operator=(const ReceivingFile&) = delete;

    // The path DCMTK writes the object to and reads it from; empty when
    // no file could be made (`error` says why).
    const std::string& path() const { return path_; }
    int error() const { return error_; }
    // Gives the file the name `destination`, replacing what had it.
    Status keepAs(const std::string& destination);
    // The hidden names of process `pid` in `folder`, for the parent.
    static void removeLeftovers(const std::string& folder, int pid);

private:
    std::string folder_, path_, named_;
    int fd_ = -1;
    int error_ = 0;
};

// Whether `suffix` is that of a file of an instance's set: ".dcm", or
// [-ewN][-rrN] followed by ".gsd" or ".qc.png" (N from 1, no leading 0).
bool setSuffix(const std::string& suffix);

// The 8 hexadecimal digits of the digest of `instanceUid`.
std::string instanceDigest(const std::string& instanceUid);

// `base` cut so that base + "-" + digest + "-NNNN" + the longest suffix
// ("-ew65535-rr65535.qc.png") fits `nameMax` bytes.
std::string fittedBase(const std::string& base, long nameMax);

}  // namespace trevik::dicom
