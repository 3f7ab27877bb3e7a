#include "study/rules.h"

namespace trevik {

void resetGating(StudyRecord& record) {
    record.hr = 0;
    record.division = 0;
}

bool framesFitStore(const StudyRecord& record) {
    if (record.frames <= 0) return true;
    if (record.division <= 1) return record.frames <= FrameStore::kSlots;
    return record.division <= FrameStore::kDivisions && record.frames <= FrameStore::kFramesPerDivision;
}

double writtenThickness(const Study& study) {
    const double product = study.geometry.slicePixels * study.record.pixel;
    // Equal values keep the record's: -0.0 == 0.0.
    const double thick = product != study.record.thick ? product : study.record.thick;
    return study.flags.reducedMatrix ? thick * 0.5 : thick;
}

}  // namespace trevik
