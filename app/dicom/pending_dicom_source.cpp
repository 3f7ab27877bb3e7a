// Stands in for the DICOM source (reader/dicom) until it is built: every
// object is refused with a reason, so the node answers with a failure
// status and writes nothing. Removed when the reader arrives.
#include "reader/dicom/dicom_source.h"

namespace trevik::dicom {

Status loadDicomDataset(DcmDataset&, Study&, FrameSink&, const SourceChoice&, const LoadOptions&) {
    Status status = statusOf(Reason::NotSupported);
    status.where.detail = "this build has no DICOM source to convert NM objects with";
    return status;
}

}  // namespace trevik::dicom
