// The format's rules over a study, each stated once: the reader, the writer
// and the window all call these rather than keeping their own copy.
#pragma once

#include "study/frame_sink.h"
#include "study/status.h"
#include "study/study.h"

namespace trevik {

// The gating facts a conversion starts from: hr and division 0 (ungated)
// until the header says otherwise.
void resetGating(StudyRecord& record);

// Whether the record's frames fit the frame store: one pass of at most 1024
// frames, or at most 16 divisions of at most 64 frames each. A record with
// no frames fits.
bool framesFitStore(const StudyRecord& record);

// Whether the images of a source are ones the converter takes: 64 x 64 or
// 128 x 128.
bool convertibleMatrix(int rows, int columns);

// Whether the record holds a height and a weight worth writing: a height
// over 30 cm, a weight over 3 kg (compared on the stored 32-bit values);
// anything less is taken as not recorded.
bool heightRecorded(const StudyRecord& record);
bool weightRecorded(const StudyRecord& record);

// The slice thickness the output file reports, computed, never stored:
// slicePixels x pixel (the record's own value where the two are equal, so
// the sign of a zero stays), halved when the frames were reduced from
// 128 x 128 (each frame pixel then spans two slice pixels of the source).
double writtenThickness(const StudyFacts& facts);

// What every reader checks of a source before it settles its facts, the
// reason it is refused for or Reason::Done. The matrix: 64 x 64 or
// 128 x 128 (Geometry).
Reason matrixRefusal(int rows, int columns);
// The frames of one division in the record: within the frame store
// (StoreFull), and at least one in a count of divisions that is not
// negative (NoFrames).
Reason framesRefusal(const StudyRecord& record);

// Settles the facts for the frames in `form`, once the reader has read them
// from the source (its matrix of 64 or 128 in the geometry, the frames of
// one division in the record) and before it hands the first frame to a
// sink: every reader calls it right before the sink's begin, so that every
// writer reads the facts as they stay. Reduced from a 128 x 128 source:
// 64 x 64 geometry, twice the pixel size, reducedMatrix set (and so the
// thickness halved, writtenThickness); otherwise the source's matrix and
// pixel size, reducedMatrix clear. An energy window or R-R interval taken
// out of several (`choice`) is named in the comment where the source gave
// none (choiceLabel). Returns the layout of the frames the sink will
// receive.
FrameLayout settleFacts(StudyFacts& facts, const FrameForm& form, const SourceChoice& choice = {});

}  // namespace trevik
