#include "app/dicom/received_object.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <cerrno>

#include "app/conversion/conversion.h"
#include "reader/dicom/dicom_source.h"

namespace trevik::dicom {

namespace {

constexpr std::size_t kMostValueBytes = 64;
constexpr int kMostSuffix = 9999;

std::string nameValue(DcmDataset& dataset, const DcmTagKey& tag) {
    OFString value;
    // The whole value, all its components, as the bytes were received.
    if (dataset.findAndGetOFStringArray(tag, value).bad() || value.empty()) return "unknown";
    std::string text(value.c_str(), value.length());
    const std::size_t last = text.find_last_not_of(' ');
    text.erase(last == std::string::npos ? 0 : last + 1);
    if (text.empty()) return "unknown";
    if (text.size() > kMostValueBytes) text.resize(kMostValueBytes);
    for (char& c : text) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.';
        if (!kept) c = '_';
    }
    return text;
}

}  // namespace

std::string receivedBaseName(DcmDataset& dataset) {
    std::string base;
    for (const DcmTagKey& tag : {DCM_PatientID, DCM_StudyDate, DCM_StudyTime, DCM_SeriesNumber}) {
        if (!base.empty()) base.push_back('_');
        base.append(nameValue(dataset, tag));
    }
    if (base[0] == '.') base[0] = '_';
    return base;
}

Status convertReceived(DcmDataset& dataset, Study& study) {
    PathBuffer input{}, output{};
    Conversion conversion(study, input, output);
    return conversion.loadHeld(
        [&dataset](StudyFacts& into, FrameSink& sink, const SourceChoice& choice, const LoadOptions& options) {
            return loadDicomDataset(dataset, into, sink, choice, options);
        });
}

Status createNumbered(const std::string& directory, const std::string& base, const std::string& extension,
                      const std::function<Status(const char* path)>& create, std::string& name) {
    Status status;
    for (int n = 1; n <= kMostSuffix; ++n) {
        name = base;
        if (n > 1) name.append("-").append(std::to_string(n));
        name.append(extension);
        std::string path = directory;
        path.append("/").append(name);
        status = create(path.c_str());
        if (status.ok() || status.reason != Reason::CannotWrite || status.where.error != EEXIST) return status;
    }
    return status;
}

}  // namespace trevik::dicom
