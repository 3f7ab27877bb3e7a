#include "study/rules.h"

#include "study/choices.h"

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

Reason matrixRefusal(int rows, int columns) {
    return convertibleMatrix(rows, columns) ? Reason::Done : Reason::Geometry;
}

Reason framesRefusal(const StudyRecord& record) {
    if (!framesFitStore(record)) return Reason::StoreFull;
    // A study without images, or with a negative division count, is none
    // the converter can hold.
    if (record.division < 0 || record.frames <= 0) return Reason::NoFrames;
    return Reason::Done;
}

bool heightRecorded(const StudyRecord& record) { return record.height > 30.0f; }
bool weightRecorded(const StudyRecord& record) { return record.weight > 3.0f; }

double writtenThickness(const StudyFacts& facts) {
    const double product = facts.geometry.slicePixels * facts.record.pixel;
    // Equal values keep the record's: -0.0 == 0.0.
    const double thick = product != facts.record.thick ? product : facts.record.thick;
    return facts.flags.reducedMatrix ? thick * 0.5 : thick;
}

namespace {

// What the 2 x 2 reduction of 128 x 128 images does to the facts: 64 x 64
// geometry, twice the pixel size, reducedMatrix set. Only settleFacts
// applies it, so no reader or writer can predict it differently.
void markReduced(StudyFacts& facts) {
    facts.geometry.columns = 64;
    facts.geometry.rows = 64;
    facts.record.pixel *= 2;
    facts.flags.reducedMatrix = true;
}

}  // namespace

FrameLayout settleFacts(StudyFacts& facts, const FrameForm& form, const SourceChoice& choice) {
    if ((choice.energyWindow != 0 || choice.rrInterval != 0) && facts.record.comment[0] == '\0')
        copyText(facts.record.comment, choiceLabel(facts.acquisition, choice));
    const int side = facts.geometry.columns;
    const int passes = facts.record.division > 1 ? facts.record.division : 1;
    facts.flags.reducedMatrix = false;
    if (side == 128 && form.matrix == FrameForm::Matrix::Reduced) markReduced(facts);
    return FrameLayout{form.matrix == FrameForm::Matrix::Source ? side : FrameStore::kSide, passes,
                       facts.record.frames};
}

}  // namespace trevik
