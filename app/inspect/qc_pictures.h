// The quality-control pictures of an inspected file (--qc and --cine),
// filled from the check its inspection ran.
#pragma once

#include "app/inspect/inspection.h"
#include "writer/qc/qc_picture.h"

namespace trevik::inspect {

// The page: sinogram at the heart's row, linogram, gate count curve,
// centroid tracks, the thresholds and the report's qc lines as its words.
qc::QcPicture qcPictureOf(const Inspection& ins);

// The summed-gate views in acquisition order.
qc::CineFrames cineOf(const Inspection& ins);

}  // namespace trevik::inspect
