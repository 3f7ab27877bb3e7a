#include "app/conversion/conversion.h"

#include "reader/projection/element_stream.h"
#include "study/rules.h"
#include "study/store_sink.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik {

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
    return loadStudy(inputPath_.c_str(), study_, sink, options);
}

Status Conversion::write(std::string_view output) {
    Status s = takePath(outputPath_, output);
    // A projection file at the output (the source itself, or another study
    // caught by a shell glob) is the camera's only copy: it is kept.
    if (s.ok()) s = writeGsd(outputPath_.c_str(), study_, isProjectionFile);
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
