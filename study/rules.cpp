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

bool convertibleMatrix(int rows, int columns) {
    return (rows == 64 && columns == 64) || (rows == 128 && columns == 128);
}

bool heightRecorded(const StudyRecord& record) { return record.height > 30.0f; }
bool weightRecorded(const StudyRecord& record) { return record.weight > 3.0f; }

double writtenThickness(const Study& study) { return writtenThickness(study.record, study.geometry, study.flags); }

double writtenThickness(const StudyRecord& record, const AcquisitionGeometry& geometry, const LoadFlags& flags) {
    const double product = geometry.slicePixels * record.pixel;
    // Equal values keep the record's: -0.0 == 0.0.
    const double thick = product != record.thick ? product : record.thick;
    return flags.reducedMatrix ? thick * 0.5 : thick;
}

void markReduced(StudyRecord& record, AcquisitionGeometry& geometry, LoadFlags& flags) {
    geometry.columns = 64;
    geometry.rows = 64;
    record.pixel *= 2;
    flags.reducedMatrix = true;
}

}  // namespace trevik
