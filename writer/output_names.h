// What the output file finds out about names, links, descriptors and
// attributes before it writes anything (writer/output_file.cpp): plain
// questions to the system, each answered without side effects on the
// destination. Internal to the writer.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace trevik::detail {

inline constexpr int kMaxLinkHops = 40;  // the kernel's own limit (ELOOP)

// The directory part of `path` with its trailing slash, "" for a bare name.
std::string directoryPrefix(const std::string& path);

// The target of the symbolic link `name` in `directory` (AT_FDCWD: the
// working directory); false (errno set) when it cannot be read.
bool readLinkAt(int directory, const char* name, const struct stat& st, std::string& target);

bool sameNode(const struct stat& a, const struct stat& b);

inline constexpr int kNotOwn = -1;
inline constexpr int kNoSuchDescriptor = -2;

// The number of the process's own open descriptor that `path` names;
// kNotOwn when it names none, kNoSuchDescriptor for another name in the
// directory of descriptors.
int ownDescriptor(const char* path);

// A sticky directory that others may write into, where a link or a file
// counts only when trustedIn says so.
bool othersMayPlantIn(const struct stat& directory);
bool trustedIn(const struct stat& directory, uid_t owner);

std::string procPath(int fd);
// Whether /proc reaches the open file `fd`.
bool procReaches(int fd);

// A read-only descriptor of the file open for writing as `fd`, which is
// `name` in `directory`; -1 when the caller may not read it.
int openForReading(int fd, int directory, const char* name, const struct stat& st);

// A short, hard-to-guess name for a temporary file.
std::string temporaryName();

// The extended attribute `name` of `fd`, and the names of all of them
// (each ending in a zero byte); false (errno set) on failure.
bool readAttribute(int fd, const char* name, std::string& value);
bool listAttributes(int fd, std::string& names);

}  // namespace trevik::detail
