#include "app/conversion/conversion.h"

#include "reader/dicom/part10.h"
#include "reader/projection/element_stream.h"
#include "study/rules.h"
#include "study/store_sink.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik {

bool isSourceFile(int fd) { return isProjectionFile(fd) || dicom::isDicomFile(fd); }

Status takePath(PathBuffer& buffer, std::string_view path) {
    if (path.size() >= PathBuffer::kCapacity) return statusOf(Reason::PathTooLong);
    if (!buffer.assign(path)) return statusOf(Reason::PathHasZero);
    return {};
}

Status Conversion::load(std::string_view source) {
    StoreSink store(study_.store);
    return load(source, store, {});
}

Status Conversion::load(std::string_view source, FrameSink& sink, const LoadOptions& options) {
    if (Status s = takePath(inputPath_, source); !s.ok()) return s;
    resetGating(study_.record);
    if (dicom::isDicomFile(inputPath_.c_str())) {
        if (dicomReader_) return dicomReader_(inputPath_.c_str(), study_, sink, choice_, options);
        Status s = statusOf(Reason::NotSupported);
        s.where.detail = "a DICOM file: converted by trevik-dicom (install the package trevik-dicom)";
        return s;
    }
    return loadStudy(inputPath_.c_str(), study_, sink, options);
}

Status Conversion::write(std::string_view output) {
    Status s = takePath(outputPath_, output);
    // A source file at the output (the source itself, or another study
    // caught by a shell glob: a projection file or a DICOM file) may be the
    // camera's only copy: it is kept.
    if (s.ok()) s = writeGsd(outputPath_.c_str(), study_, isSourceFile);
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
    if (Status s = load(source); !s.ok()) return s;
    return write(output);
}

}  // namespace trevik
