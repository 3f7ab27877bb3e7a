#include "writer/qc/picture_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "writer/output_file.h"

namespace trevik::qc::detail {

namespace {

Status writeFailure(int error) {
    Status s = statusOf(Reason::CannotWrite, error);
    s.where.output = true;
    return s;
}

}  // namespace

Status invalidPicture() { return writeFailure(EINVAL); }

Status writePicture(const char* path, const std::vector<unsigned char>& bytes, std::string_view signature) {
    if (!path || !*path) return writeFailure(ENOENT);
    // Only a regular file is ever replaced; the output file would write a
    // device or a FIFO as it is, which a picture never does. The keep test
    // below looks again at the file actually opened.
    struct stat st {};
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return writeFailure(EEXIST);
    const auto notThatKind = [signature](int fd) {
        std::string head(signature.size(), '\0');
        const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
        return got != static_cast<ssize_t>(head.size()) || head != signature;
    };
    trevik::detail::OutputFile file;
    if (!file.open(path, notThatKind)) return writeFailure(file.keptSource() ? EEXIST : file.error());
    if (!file.commit([&bytes](int fd) { return trevik::detail::writeAll(fd, bytes.data(), bytes.size()); }, bytes.size()))
        return writeFailure(file.error() != 0 ? file.error() : EIO);
    return statusOf(Reason::Done);
}

}  // namespace trevik::qc::detail
