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

void updateThickness(Study& study) {
    StudyRecord& record = study.record;
    const double product = study.geometry.slicePixels * record.pixel;
    // Assigned only when different: when they are equal the record stays
    // exactly as it was, the sign of a zero included (-0.0 == 0.0).
    if (product != record.thick) record.thick = product;
}

double writtenThickness(const Study& study) {
    return study.flags.reducedMatrix ? study.record.thick * 0.5 : study.record.thick;
}

}  // namespace trevik
