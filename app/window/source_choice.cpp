// Select's part for DICOM sources: which energy window and R-R interval to
// take where an object holds several, asked in the standard list dialog,
// and the object's texts decoded for the boxes.
#include "app/window/main_form.h"

#ifdef TREVIK_WINDOW_DICOM
#include "reader/dicom/object_outline.h"
#endif

namespace trevik::window {

#ifdef TREVIK_WINDOW_DICOM
namespace {

// Lets the user pick one of `entries` when there are several: `chosen` gets
// its number. False when the dialog was cancelled.
bool chooseEntry(const WindowSeams& seams, QWidget* parent, const std::vector<dicom::ChoiceEntry>& entries,
                 const QString& title, const QString& question, const char* unit, int& chosen) {
    if (entries.size() < 2) return true;
    QStringList items;
    for (const dicom::ChoiceEntry& entry : entries) items << QString::fromStdString(dicom::entryText(entry, unit));
    const std::optional<int> at = seams.chooseItem(parent, title, question, items);
    if (!at || *at < 0 || static_cast<std::size_t>(*at) >= entries.size()) return false;
    chosen = entries[static_cast<std::size_t>(*at)].number;
    return true;
}

}  // namespace
#endif

bool TMainForm::chooseFrames(const char* path, SourceTexts& texts) {
#ifdef TREVIK_WINDOW_DICOM
    dicom::SourceChoice choice;
    dicom::ObjectOutline outline;
    // An object that cannot be outlined is loaded as it is: the load says why it fails.
    if (dicom::isDicomFile(path) && dicom::outlineFile(path, outline).ok()) {
        const int windows = static_cast<int>(outline.energyWindows.size());
        const int intervals = static_cast<int>(outline.rrIntervals.size());
        if (!chooseEntry(seams_, this, outline.energyWindows, tr("Energy window"),
                         tr("The object holds %1 energy windows. Which one shall be converted?").arg(windows), "keV",
                         choice.energyWindow) ||
            !chooseEntry(seams_, this, outline.rrIntervals, tr("R-R interval"),
                         tr("The object holds %1 R-R intervals. Which one shall be converted?").arg(intervals), "ms",
                         choice.rrInterval))
            return false;
        texts.name = QString::fromStdString(outline.patientName);
        texts.id = QString::fromStdString(outline.patientId);
        texts.label = QString::fromStdString(dicom::choiceLabel(outline, choice));
        // Named as trevik-dicom import --energy-window all names its files.
        if (windows > 1) texts.suffix += QStringLiteral("-ew%1").arg(choice.energyWindow);
        if (intervals > 1) texts.suffix += QStringLiteral("-rr%1").arg(choice.rrInterval);
    }
    conversion_.readDicomWith(dicom::loadDicomStudy, choice);
#else
    (void)path;
    (void)texts;
#endif
    return true;
}

}  // namespace trevik::window
