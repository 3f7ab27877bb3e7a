#include "writer/qc/picture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "writer/output_file.h"

namespace trevik::qc {

namespace {

// How a file of each kind starts; for a GIF both versions (GIF87a, GIF89a).
std::string_view signatureOf(PictureKind kind) {
    return kind == PictureKind::Png ? std::string_view("\x89PNG\r\n\x1A\n", 8) : std::string_view("GIF8", 4);
}

bool startsWith(int fd, std::string_view signature) {
    std::string head(signature.size(), '\0');
    const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
    return got == static_cast<ssize_t>(head.size()) && head == signature;
}

Status writeFailure(int error) {
    Status s = statusOf(Reason::CannotWrite, error);
    s.where.output = true;
    return s;
}

}  // namespace

bool mayWritePicture(const char* path, PictureKind kind) {
    struct stat st {};
    if (!path || !*path) return false;
    if (::stat(path, &st) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) return false;
    const trevik::detail::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    return fd && startsWith(fd.get(), signatureOf(kind));
}

namespace detail {

Status invalidPicture() { return writeFailure(EINVAL); }

Status writePicture(const char* path, const std::vector<unsigned char>& bytes, PictureKind kind) {
    if (!path || !*path) return writeFailure(ENOENT);
    // Only a regular file is ever replaced; the output file would write a
    // device or a FIFO as it is, which a picture never does. The keep test
    // looks again at the file actually opened.
    struct stat st {};
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return writeFailure(EEXIST);
    const std::string_view signature = signatureOf(kind);
    trevik::detail::OutputFile file;
    if (!file.open(path, [signature](int fd) { return !startsWith(fd, signature); }))
        return writeFailure(file.keptSource() ? EEXIST : file.error());
    if (!file.commit([&bytes](int fd) { return trevik::detail::writeAll(fd, bytes.data(), bytes.size()); }, bytes.size()))
        return writeFailure(file.error() != 0 ? file.error() : EIO);
    return statusOf(Reason::Done);
}

}  // namespace detail

}  // namespace trevik::qc
