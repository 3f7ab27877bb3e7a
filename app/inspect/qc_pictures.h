// The quality-control pictures of an inspected file (--qc and --cine),
// filled from the check its inspection ran.
#pragma once

#include <string>

#include "app/inspect/inspection.h"
#include "writer/qc/qc_picture.h"

namespace trevik::inspect {

// The page: sinogram at the heart's row, linogram, gate count curve,
// centroid tracks, the thresholds and the report's qc lines as its words.
qc::QcPicture qcPictureOf(const Inspection& ins);

// The summed-gate views in acquisition order.
qc::CineFrames cineOf(const Inspection& ins);

// Writes the page (kind Png) or the cine (kind Gif) of an inspected file to
// `name`; `line` gets the report's line that names it ("qc page: NAME",
// "cine: NAME") or says why there is none. Returns that problem, "" when
// written. The caller has checked the name (mayWritePicture, not a file
// inspected).
std::string writeQcPicture(qc::PictureKind kind, const std::string& name, const Inspection& ins, std::string& line);

}  // namespace trevik::inspect
