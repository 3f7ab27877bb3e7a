// Loading a projection source for the NM object, and the words for every
// status trevik-dicom reports.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "app/dicom/command.h"
#include "reader/projection/element_stream.h"
#include "writer/dicom/camera_sink.h"
#include "writer/dicom/uid.h"

namespace trevik::dicom {

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "trevik-dicom %s: %s (see trevik-dicom --help)\n", command, message.c_str());
    return 2;
}

bool optionValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name, std::string& value,
                 bool& missing) {
    const std::string_view arg = args[i];
    missing = false;
    if (arg == name) {
        if (i + 1 >= args.size()) {
            missing = true;
            return true;
        }
        value = args[++i];
        return true;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

std::string describe(const Status& status) {
    const Where& w = status.where;
    const std::string error = w.error ? std::strerror(w.error) : "refused";
    switch (status.reason) {
        case Reason::Done: return "done";
        case Reason::PathTooLong: return "the path is longer than 255 bytes";
        case Reason::PathHasZero: return "the path holds a zero byte";
        case Reason::CannotOpen: return "cannot open the source: " + (w.error ? error : std::string("not a regular file"));
        case Reason::NotRecognised: return "not a projection file";
        case Reason::NegativeLength: return "a header element declares a negative length";
        case Reason::HeaderEnds: return "the file ends inside the header";
        case Reason::Geometry: return "images other than 64 x 64 and 128 x 128";
        case Reason::CountOverflow: return "the image count over the divisions does not fit 32 bits";
        case Reason::StoreFull: return "the frames do not fit: at most 1024 in one division, or 16 divisions of 64";
        case Reason::NoFrames: return "no frame in a division, or a negative division count";
        case Reason::PixelDataEnds:
            return "the pixel data ends in image " + std::to_string(w.image) + ", row " + std::to_string(w.row);
        case Reason::NoMemory: return "not enough memory";
        case Reason::CannotWrite: return "cannot write the output: " + error;
        case Reason::KeptSource: return "the output names a projection file, which is never replaced";
        case Reason::NotSupported: return w.detail ? w.detail : "not supported";
        case Reason::CannotRead: return w.detail ? w.detail : "the data ends early";
    }
    return "unknown";
}

bool isProjectionFile(const char* path) {
    StreamHandle stream(std::fopen(path, "rb"));
    return stream && examineFormat(stream.get()).finding == FormatProbe::Finding::Recognised;
}

namespace {

// The digest of the file's bytes, read in blocks.
bool digestFile(const char* path, std::string& digest, int& error) {
    StreamHandle stream(std::fopen(path, "rb"));
    if (!stream) {
        error = errno;
        return false;
    }
    Sha256 hash;
    std::vector<unsigned char> block(1 << 16);
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), stream.get())) > 0) hash.add(block.data(), n);
    if (std::ferror(stream.get())) {
        error = EIO;
        return false;
    }
    digest = hexDigest(hash.finish());
    return true;
}

}  // namespace

Status loadSource(const char* path, CameraStudy& study, NmOptions& options) {
    Status status;
    PathBuffer buffer;
    if (!buffer.assign(path)) {
        status.code = kCannotOpen;
        status.reason = std::strlen(path) > 255 ? Reason::PathTooLong : Reason::PathHasZero;
        return status;
    }
    int error = 0;
    if (!digestFile(path, options.sourceDigest, error)) {
        status.code = kCannotOpen;
        status.reason = Reason::CannotOpen;
        status.where.error = error;
        return status;
    }
    CameraSink sink(study);
    (void)sink;
    // The projection loader delivers frames through a sink in the camera's
    // own form once it offers that; until then nothing is loaded here.
    status.code = kNotSupported;
    status.reason = Reason::NotSupported;
    status.where.detail = "this build cannot load the camera's own frames";
    return status;
}

Status composeSource(const char* path, NmOptions options, DcmFileFormat& file, const char* who) {
    try {
        CameraStudy study;
        Status status = loadSource(path, study, options);
        if (!status.ok()) return status;
        std::vector<std::string> warnings;
        status = composeNm(study, options, file, &warnings);
        for (const std::string& warning : warnings) std::fprintf(stderr, "%s: %s: warning: %s\n", who, path, warning.c_str());
        return status;
    } catch (const std::bad_alloc&) {
        Status status;
        status.code = kNoMemory;
        status.reason = Reason::NoMemory;
        return status;
    }
}

}  // namespace trevik::dicom
