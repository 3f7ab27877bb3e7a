// What the subcommands share: the command-line helpers and the loading of a
// projection source for the NM object.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "app/conversion/conversion.h"
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

namespace {

// The digest of the file's bytes, read in blocks.
bool digestFile(const char* path, std::string& digest, int& error) {
    StreamHandle stream(std::fopen(path, "rb"));
    if (!stream) {
        error = errno;
        return false;
    }
    Hash128 hash;
    std::vector<unsigned char> block(1 << 20);
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), stream.get())) > 0) hash.add(block.data(), n);
    if (std::ferror(stream.get())) {
        error = EIO;
        return false;
    }
    digest = hash.finish();
    return true;
}

}  // namespace

Status loadSource(const char* path, CameraStudy& study, NmOptions& options) {
    // The loader wants a whole study; its frame store stays untouched (the
    // frames go to the sink), so only the record, geometry and flags start
    // as a fresh study's.
    std::unique_ptr<Study> whole(new Study);
    whole->record = {};
    whole->geometry = {};
    whole->flags = {};
    PathBuffer input{}, output{};
    Conversion conversion(*whole, input, output);
    CameraSink sink(study);
    LoadOptions load;
    load.form = kCameraForm;
    load.changes = &study.changes;
    Status status = conversion.load(path, sink, load);
    if (!status.ok()) return status;
    study.floatSamples = status.where.sampleBits == 32;
    // The digest of exactly the bytes loaded: read after the load, which
    // has shown the file readable.
    int error = 0;
    if (!digestFile(path, options.sourceDigest, error)) return statusOf(Reason::CannotOpen, error);
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
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::dicom
