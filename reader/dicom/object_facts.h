// What an NM object is and the study facts it records, read through the
// NM attribute table (dicom/nm_attributes.h).
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcitem.h>

#include "study/status.h"
#include "study/study.h"

namespace trevik::dicom {

// Refused unless an NM image of a SPECT projection acquisition; `gated`:
// Image Type value 3 is GATED TOMO (else TOMO).
Status readKind(DcmItem& data, bool& gated);

// The patient and study facts into the record and the slice width into the
// geometry, as a projection header's elements set them; `division` is the
// number of time slots of a gated object (0: ungated).
void readFacts(DcmItem& data, int division, StudyRecord& record, AcquisitionGeometry& geometry);

}  // namespace trevik::dicom
