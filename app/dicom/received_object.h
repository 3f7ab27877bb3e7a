// What the receiving node does with one NM object: the names its files get
// in the inbox and the keep folder, and its conversion to the study.
#pragma once

#include <string>
#include <vector>

#include "app/dicom/set_folders.h"
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
// the first 8 hexadecimal digits of the SHA-256 of the SOP Instance UID
// (the kept object holds the whole UID).
// The base is cut so that every name fits the file system's limit
// (NAME_MAX), digest and suffix kept. Each file is marked with the whole
// UID (extended attribute user.trevik.instance, where the file system has
// them): the same instance received again replaces its whole set; another
// instance whose name clashes (a digest collision) gets BASE-DIGEST-2,
// -3 ..., never an overwrite. A name held by a symbolic link or another
// entry that is not a regular file carries no instance: it is replaced as
// a name (set_folders.h). While the set is open, the inbox is locked
// (flock), so processes that receive at once never mix their sets.
class InstanceFiles {
public:
    InstanceFiles() = default;
    ~InstanceFiles();
    InstanceFiles(const InstanceFiles&) = delete;
    InstanceFiles& operator=(const InstanceFiles&) = delete;

    // Locks the inbox and chooses the set's name.
    Status open(const SetFolders& folders, const std::string& base, const std::string& instanceUid);
    const std::string& name() const { return name_; }
    // Marks `file` with the instance's UID and gives it the set's name
    // with `suffix` in the folder it was made in (synced first unless the
    // sync is off). CannotWrite with EISDIR when a folder has the name; a
    // sync that fails removes every file made now and unlocks.
    Status give(NewFile& file, const std::string& suffix);
    // Removes the files of the set that were not made now (left from an
    // earlier receipt of the same instance), syncs the folders, and
    // unlocks. A failed sync removes the files made now too. A set not
    // finished (its conversion failed) is unlocked with its older files.
    Status finish();
    // Syncs the folders and unlocks, the set's older files kept: an
    // object kept but not converted.
    Status keepOnly();
    // Removes the files of the set made now but the kept object (a
    // conversion of one of its windows failed after others were written:
    // no part of a failed object stays in the inbox), and unlocks.
    void abandon();
    // What the set's names held before, for the log: "replaced NAME, ...;
    // removed NAME, ..." and the links replaced as names; empty for a set
    // new to the inbox.
    std::string changes() const;
    // The name a folder held, so that give failed; empty while none did.
    const std::string& refused() const { return refused_; }
    bool syncFailed() const { return syncFailed_; }

private:
    // The suffixes of the files of the set under name_ that exist.
    std::vector<std::string> existing() const;
    bool sameInstance() const;  // of an existing set under name_
    int folderOf(const std::string& suffix) const;
    void remove(bool kept);
    void unlock();

    const SetFolders* folders_ = nullptr;
    std::string uid_, name_, refused_;
    std::vector<std::string> before_, made_, removed_, odd_;
    int lock_ = -1;
    bool syncFailed_ = false;
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
