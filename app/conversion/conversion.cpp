#include "app/conversion/conversion.h"

#include <optional>

#include "reader/dicom/part10.h"
#include "reader/projection/element_stream.h"
#include "study/rules.h"
#include "study/store_sink.h"
#include "writer/gsd/gsd_stream.h"
#include "writer/gsd/gsd_writer.h"
#include "writer/output_file.h"

namespace trevik {

bool isSourceFile(int fd) { return isProjectionFile(fd) || dicom::isDicomFile(fd); }

Status takePath(PathBuffer& buffer, std::string_view path) {
    if (path.size() >= PathBuffer::kCapacity) return statusOf(Reason::PathTooLong);
    if (!buffer.assign(path)) return statusOf(Reason::PathHasZero);
    return {};
}

Status Conversion::load(std::string_view source) {
    if (!study_) return statusOf(Reason::NotSupported);
    StoreSink store(study_->store);
    return load(source, store, {});
}

Status Conversion::load(std::string_view source, FrameSink& sink, const LoadOptions& options) {
    if (Status s = takePath(inputPath_, source); !s.ok()) return s;
    resetGating(facts_.record);
    if (dicomReader_ && dicom::isDicomFile(inputPath_.c_str()))
        return dicomReader_(inputPath_.c_str(), facts_, sink, choice_, options);
    // Without a DICOM reader the projection loader refuses a DICOM file
    // itself (DicomNeedsTrevikDicom), from the opening bytes it reads anyway:
    // a conversion of a projection file opens its source once.
    return loadStudy(inputPath_.c_str(), facts_, sink, options);
}

Status Conversion::load(int fd, std::string_view source, FrameSink& sink, const LoadOptions& options) {
    if (Status s = takePath(inputPath_, source); !s.ok()) return s;
    resetGating(facts_.record);
    if (dicom::isDicomFile(fd)) {
        if (dicomReader_) return dicomReader_(inputPath_.c_str(), facts_, sink, choice_, options);
        return statusOf(Reason::DicomNeedsTrevikDicom);
    }
    return loadStudy(fd, facts_, sink, options);
}

Status Conversion::loadHeld(const HeldDicomReader& reader) {
    if (!study_) return statusOf(Reason::NotSupported);
    StoreSink store(study_->store);
    return loadHeld(reader, store, {});
}

Status Conversion::loadHeld(const HeldDicomReader& reader, FrameSink& sink, const LoadOptions& options) {
    facts_.record = {};
    facts_.geometry = {};
    facts_.flags = {};
    facts_.acquisition.clear();
    resetGating(facts_.record);
    return reader(facts_, sink, choice_, options);
}

Status Conversion::write(std::string_view output) {
    if (!study_) return statusOf(Reason::NotSupported);
    Status s = takePath(outputPath_, output);
    // A source file at the output (the source itself, or another study
    // caught by a shell glob: a projection file or a DICOM file) may be the
    // camera's only copy: it is kept.
    if (s.ok()) s = writeGsd(outputPath_.c_str(), *study_, isSourceFile);
    s.where.output = !s.ok();
    return s;
}

Status Conversion::convert(std::string_view source, std::string_view output) {
    PathBuffer in{}, out{};
    if (Status s = takePath(in, source); !s.ok()) return s;
    if (Status s = takePath(out, output); !s.ok()) {
        s.where.output = true;
        return s;
    }
    // The output is opened first: how it is written decides how the frames
    // travel. A new file, or one that replaces the old only once complete,
    // takes the frames as they are converted, without the frame store; a
    // failed load then leaves nothing behind.
    (void)takePath(outputPath_, output);
    std::optional<detail::OutputFile> file(std::in_place);
    // A source file at the output is kept, as write() keeps it.
    Status refused;
    if (!file->open(outputPath_.c_str(), isSourceFile)) {
        refused = refusedOutput(*file);
        file.reset();  // nothing of it stays open during the load
    }
    if (file && file->streamDescriptor() >= 0) {
        GsdStreamSink sink(file->streamDescriptor());
        if (Status s = load(source, sink, {}); !s.ok()) return s;
        if (file->commitStreamed(sink.size())) return {};
        Status s = statusOf(Reason::CannotWrite, file->error());
        s.where.output = true;
        return s;
    }
    // Anything written in place (a hard-linked file, a device, a pipe, one
    // of our own descriptors) is loaded whole first, so that a failed load
    // leaves it as it was; a refused output is reported after the load, as
    // a write would report it.
    if (Status s = load(source); !s.ok()) return s;
    Status s = file ? writeGsd(*file, *study_) : refused;
    s.where.output = !s.ok();
    return s;
}

}  // namespace trevik
