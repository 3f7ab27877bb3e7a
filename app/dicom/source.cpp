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
#include "dicom/uid.h"

namespace trevik::dicom {

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "trevik-dicom %s: %s (see trevik-dicom %s --help)\n", command, message.c_str(), command);
    return 2;
}

bool validAeTitle(const std::string& title) {
    if (title.empty() || title.size() > 16 || title.find_first_not_of(' ') == std::string::npos) return false;
    for (unsigned char c : title)
        if (c < 0x20 || c >= 0x7F || c == '\\') return false;
    return true;
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

// The header's bytes, [0, size) of the file, added to `hash`.
bool hashHeader(const char* path, std::int64_t size, Hash128& hash, int& error) {
    StreamHandle stream(std::fopen(path, "rb"));
    std::vector<unsigned char> header(static_cast<std::size_t>(size > 0 ? size : 0));
    if (!stream || std::fread(header.data(), 1, header.size(), stream.get()) != header.size()) {
        error = stream ? EIO : errno;
        return false;
    }
    hash.add(header.data(), header.size());
    return true;
}

}  // namespace

Status loadSource(const char* path, StudyFacts& facts, CameraFrames& frames, NmOptions& options) {
    // The facts alone: the frames go to the sink, no frame store is needed.
    facts = {};
    PathBuffer input{}, output{};
    Conversion conversion(facts, input, output);
    CameraSink sink(frames);
    LoadOptions load;
    load.form = kCameraForm;
    load.changes = &frames.changes;
    // The UIDs derive from the bytes the study is made of: every image as
    // the file holds it, hashed while it is read, and the header before
    // them (bytes behind the last image read do not count).
    Hash128 images;
    load.sourceImage = [&images](const SourceImage& image) {
        images.add(image.bytes, static_cast<std::size_t>(image.side) * image.side * (image.floats ? 4 : 2));
    };
    Status status = conversion.load(path, sink, load);
    if (!status.ok()) return status;
    frames.floatSamples = status.where.sampleBits == 32;
    Hash128 header;
    int error = 0;
    if (!hashHeader(path, status.where.dataOffset, header, error)) return statusOf(Reason::CannotOpen, error);
    options.sourceDigest = header.finish() + images.finish();
    return status;
}

Status composeSource(const char* path, NmOptions options, DcmFileFormat& file, const char* who) {
    try {
        StudyFacts facts{};
        CameraFrames frames;
        Status status = loadSource(path, facts, frames, options);
        if (!status.ok()) return status;
        std::vector<std::string> warnings;
        status = composeNm(facts, frames, options, file, &warnings);
        for (const std::string& warning : warnings) std::fprintf(stderr, "%s: %s: warning: %s\n", who, path, warning.c_str());
        return status;
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::dicom
