#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "app/window/help.h"
#include "app/window/window_seams.h"

namespace trevik::window {

namespace {

// Qt's own dialogs rather than a desktop theme's: they add the default
// extension and confirm an overwrite themselves, so the name they hand back
// is final on every desktop. Any name is accepted, also one of a file that
// does not exist.
std::unique_ptr<QFileDialog> makeFileDialog(QWidget* parent, const char* name, QFileDialog::AcceptMode mode) {
    auto dialog = std::make_unique<QFileDialog>(parent);
    dialog->setObjectName(QString::fromLatin1(name));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(mode);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setSizeGripEnabled(true);
    return dialog;
}

std::optional<QString> runDialog(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return files.first();
}

std::optional<QString> runOpenDialog(QWidget* parent) { return runDialog(*makeOpenDialog(parent)); }
std::optional<QString> runSaveDialog(QWidget* parent, const QString& proposed) {
    return runDialog(*makeSaveDialog(parent, proposed));
}

void showErrorBox(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kApplicationTitle), text, QMessageBox::Ok, parent);
    box.exec();
}

std::optional<int> chooseFromList(QWidget* parent, const QString& title, const QString& label,
                                  const QStringList& items) {
    bool ok = false;
    const QString chosen = QInputDialog::getItem(parent, title, label, items, 0, false, &ok);
    const qsizetype at = ok ? items.indexOf(chosen) : -1;
    if (at < 0) return std::nullopt;
    return static_cast<int>(at);
}

// No is the default: Enter returns to the window rather than losing the
// characters.
bool confirmTexts(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kApplicationTitle), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QStringLiteral("TextsBox"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

// The desktop's default application for compiled help, as the desktop
// utilities know it; a desktop that takes longer than this is taken to have
// none.
void askHelpViewer(std::function<void(const QString&)> answer) {
    askProgram(QStringLiteral("xdg-mime"),
               {QStringLiteral("query"), QStringLiteral("default"), QString::fromLatin1(kCompiledHelpType)}, 3000,
               std::move(answer));
}

// An orderly end: the C streams are flushed and closed, then the process
// ends at once, also from inside a handler.
[[noreturn]] void endProcess(int code) { std::exit(code); }

// The filter that lists every file, in the interface language like the
// rest of the dialog.
QString allFiles() { return QCoreApplication::translate("trevik::window::Dialogs", "All Files (*)"); }

}  // namespace

std::unique_ptr<QFileDialog> makeOpenDialog(QWidget* parent) {
    auto dialog = makeFileDialog(parent, "OpenDlg", QFileDialog::AcceptOpen);
    // Every file first, as before; the DICOM filter narrows the list to
    // the names DICOM files usually have.
    dialog->setNameFilters({allFiles(), QCoreApplication::translate("trevik::window::Dialogs",
                                                                     "DICOM Files (*.dcm *.DCM *.dicom)")});
    return dialog;
}

std::unique_ptr<QFileDialog> makeSaveDialog(QWidget* parent, const QString& proposed) {
    auto dialog = makeFileDialog(parent, "SaveDlg", QFileDialog::AcceptSave);
    // "*" rather than "*.*": on this platform names without a dot are common.
    dialog->setNameFilters({QStringLiteral("Gated SPECT Data (*.gsd)"), allFiles()});
    dialog->setDefaultSuffix(QStringLiteral("gsd"));
    if (!proposed.isEmpty()) {
        const QFileInfo file(proposed);
        dialog->setDirectory(file.absolutePath());
        dialog->selectFile(file.fileName());
    }
    return dialog;
}

void openHelp(const QString& path, std::function<void(int)> done) {
    openWith(QStringLiteral("xdg-open"), path, std::move(done));
}

WindowSeams platformSeams() {
    WindowSeams seams;
    seams.chooseSource = runOpenDialog;
    seams.chooseOutput = runSaveDialog;
    seams.showError = showErrorBox;
    seams.chooseItem = chooseFromList;
    seams.confirmTexts = confirmTexts;
    seams.askHelpViewer = askHelpViewer;
    seams.openHelp = openHelp;
    seams.endProcess = endProcess;
    return seams;
}

}  // namespace trevik::window
