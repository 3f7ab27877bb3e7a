#include "reader/dicom/part10.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trevik::dicom {

bool isDicomFile(int fd) {
    char marker[sizeof kPart10Marker];
    ssize_t n;
    do {
        n = ::pread(fd, marker, sizeof marker, static_cast<off_t>(kPart10MarkerOffset));
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof marker) && std::memcmp(marker, kPart10Marker, sizeof marker) == 0;
}

bool isDicomFile(const char* path) {
    // Without blocking: a FIFO with no writer is no DICOM file and must not
    // hang the check; only regular files are looked at.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    const bool dicom = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && isDicomFile(fd);
    ::close(fd);
    return dicom;
}

}  // namespace trevik::dicom
