// Select's part for DICOM sources: which energy window and R-R interval to
// take where an object holds several, asked in the standard list dialog,
// and the object's texts decoded for the boxes.
#include "app/window/main_form.h"

#ifdef TREVIK_WINDOW_DICOM
#include <memory>

#include "reader/dicom/object_read.h"
#include "reader/dicom/part10.h"
#include "study/choices.h"
#endif

namespace trevik::window {

#ifdef TREVIK_WINDOW_DICOM
namespace {

// Lets the user pick one of `entries` when there are several: `chosen` gets
// its number. False when the dialog was cancelled.
bool chooseEntry(const WindowSeams& seams, QWidget* parent, const ChoiceList& entries, const QString& title,
                 const QString& question, const char* unit, int& chosen) {
    if (entries.size() < 2) return true;
    QStringList items;
    for (const ChoiceEntry& entry : entries) items << QString::fromStdString(entryText(entry, unit));
    const std::optional<int> at = seams.chooseItem(parent, title, question, items);
    if (!at || *at < 0 || *at >= entries.size()) return false;
    chosen = entries.entries[*at].number;
    return true;
}

}  // namespace
#endif

bool TMainForm::chooseFrames(const char* path, SourceTexts& texts) {
#ifdef TREVIK_WINDOW_DICOM
    SourceChoice choice;
    // The object is read once: for the choice and the texts here, and for
    // the load of the window or interval chosen. An object that cannot be
    // read is loaded as it is: the load says why it fails.
    const auto held = std::make_shared<dicom::HeldObject>();
    const dicom::ObjectRead* read = nullptr;
    if (dicom::isDicomFile(path) && held->read(path).ok()) read = held->object();
    if (read) {
        const Acquisition& a = read->facts.acquisition;
        if (!chooseEntry(seams_, this, a.energyWindows, tr("Energy window"),
                         tr("The object holds %1 energy windows. Which one shall be converted?").arg(a.energyWindows.size()),
                         "keV", choice.energyWindow) ||
            !chooseEntry(seams_, this, a.rrIntervals, tr("R-R interval"),
                         tr("The object holds %1 R-R intervals. Which one shall be converted?").arg(a.rrIntervals.size()),
                         "ms", choice.rrInterval))
            return false;
        texts.name = QString::fromStdString(read->patientName);
        texts.id = QString::fromStdString(read->patientId);
        texts.label = QString::fromStdString(choiceLabel(a, choice));
        // Named as trevik-dicom import --energy-window all names its files.
        if (a.energyWindows.size() > 1) texts.suffix += QStringLiteral("-ew%1").arg(choice.energyWindow);
        if (a.rrIntervals.size() > 1) texts.suffix += QStringLiteral("-rr%1").arg(choice.rrInterval);
    }
    // The parsed object is freed once its frames are loaded.
    conversion_.readDicomWith(
        [held](const char* source, StudyFacts& facts, FrameSink& sink, const SourceChoice& taken,
               const LoadOptions& options) {
            const Status loaded = held->load(source, facts, sink, taken, options);
            held->release();
            return loaded;
        },
        choice);
#else
    (void)path;
    (void)texts;
#endif
    return true;
}

}  // namespace trevik::window
