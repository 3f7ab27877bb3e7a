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

double writtenThickness(const StudyFacts& facts) {
    const double product = facts.geometry.slicePixels * facts.record.pixel;
    // Equal values keep the record's: -0.0 == 0.0.
    const double thick = product != facts.record.thick ? product : facts.record.thick;
    return facts.flags.reducedMatrix ? thick * 0.5 : thick;
}

FrameLayout settleFacts(StudyFacts& facts, const FrameForm& form) {
    const int side = facts.geometry.columns;
    const int passes = facts.record.division > 1 ? facts.record.division : 1;
    const bool reduce = side == 128 && form.matrix == FrameForm::Matrix::Reduced;
    facts.flags.reducedMatrix = reduce;
    if (reduce) {
        facts.geometry.columns = 64;
        facts.geometry.rows = 64;
        facts.record.pixel *= 2;
    }
    return FrameLayout{form.matrix == FrameForm::Matrix::Source ? side : FrameStore::kSide, passes,
                       facts.record.frames};
}

}  // namespace trevik
