// The folders the receiving node writes into (the inbox, and the folder of
// kept objects with --keep), and how a file gets its name there.
//
// Each folder is opened once, at the start, as a directory and never
// through a symbolic link; every file the node writes is made, named,
// replaced and removed relative to that descriptor (openat, linkat,
// renameat, unlinkat), so a member of the inbox's group, who may make and
// remove names there, cannot turn a write through a planted link into one
// outside the folder. A file is made unnamed (O_TMPFILE) or under a hidden
// name of the process (O_EXCL), written through /proc/self/fd, then renamed
// over its name: what had the name (an older file, a symbolic link, a
// FIFO) loses it, and nothing it pointed to is touched. A folder at the
// name refuses the file.
//
// Unless the operator turned it off (--unsafe-no-sync), a file is synced
// before it gets its name and each folder that got a name is synced after,
// all before the node answers that it stored the object.
#pragma once

#include <string>

#include "study/status.h"

namespace trevik::dicom {

// The node's open folders. Owns the descriptors.
class SetFolders {
public:
    SetFolders() = default;
    ~SetFolders();
    SetFolders(const SetFolders&) = delete;
    SetFolders& operator=(const SetFolders&) = delete;

    // Opens the inbox and (when not empty) the keep folder; false with the
    // words of what failed.
    bool open(const std::string& inbox, const std::string& keep, bool sync, std::string& reason);

    int inbox() const { return inbox_; }
    int keep() const { return keep_; }  // -1 without --keep
    // The folder a file of a set goes into: the keep folder for the kept
    // object, else the inbox.
    int of(bool kept) const { return kept ? keep_ : inbox_; }
    bool sync() const { return sync_; }
    // Syncs each open folder (a folder's names reach the disk); the errno
    // of the first that failed, 0 when none did or the sync is off.
    int syncAll() const;
    // Words for a folder that was removed since the start (the node goes
    // on holding the folder it opened, not a new one of that name); empty
    // while both are there.
    std::string removed() const;

private:
    int inbox_ = -1, keep_ = -1;
    bool sync_ = true;
};

// A new file in one of the folders, without its name yet. Closed, and its
// hidden name (if it has one) removed, when it ends without being named.
class NewFile {
public:
    // `what` names the hidden name's kind ("receiving", "writing").
    NewFile(int folder, const char* what);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // The path its content is written through (/proc/self/fd/N); empty
    // when no file could be made (`error` says why).
    const std::string& path() const { return path_; }
    int fd() const { return fd_; }
    int error() const { return error_; }
    // Whether giveName failed in the sync itself.
    bool syncFailed() const { return syncFailed_; }

    // Syncs the file (with `sync`) and gives it `name` in its folder,
    // replacing whatever non-folder had the name; `had` tells what that
    // was when not a regular file ("a symbolic link", ...), else empty.
    Status giveName(const std::string& name, bool sync, std::string& had);

    // The hidden names process `pid` leaves in `folder` when it is killed.
    static void removeLeftovers(int folder, int pid);

private:
    int folder_ = -1, fd_ = -1, error_ = 0;
    bool syncFailed_ = false;
    std::string hidden_, path_;
};

// Creates the folder `path` when it is missing: mode 2770 whatever the
// umask, unless the umask takes every permission from the group (2700).
// False with errno when it cannot be made.
bool makeFolder(const std::string& path);

// What the entry `name` in `folder` is when it is neither missing nor a
// regular file ("a symbolic link", "a folder", ...); empty otherwise.
std::string oddEntry(int folder, const std::string& name);

}  // namespace trevik::dicom
