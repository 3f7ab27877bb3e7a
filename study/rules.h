// The format's rules over a study, each stated once: the reader, the writer
// and the window all call these rather than keeping their own copy.
#pragma once

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
double writtenThickness(const Study& study);
double writtenThickness(const StudyRecord& record, const AcquisitionGeometry& geometry, const LoadFlags& flags);

// What a load does to the header's facts once the 128 x 128 images of a
// source were reduced to 64 x 64 frames: 64 x 64 geometry, twice the pixel
// size, reducedMatrix set.
void markReduced(StudyRecord& record, AcquisitionGeometry& geometry, LoadFlags& flags);

}  // namespace trevik
