// What the main window asks of the desktop: the file dialogs, the error box,
// the help viewer and the end of the process. The program uses the desktop's
// own (platformSeams); tests put in their own so that nothing blocks on a
// modal dialog and nothing ends the test process.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QFileDialog;
class QWidget;

namespace trevik::window {

struct WindowSeams {
    // The source file the user chose, as a full path; nullopt when cancelled.
    std::function<std::optional<QString>(QWidget* parent)> chooseSource;
    // The output file the user settled on, the dialog opened on `proposed`
    // (its folder, its name): extension added to a name without one,
    // overwriting an existing file confirmed. nullopt when cancelled.
    std::function<std::optional<QString>(QWidget* parent, const QString& proposed)> chooseOutput;
    // Shows `text` (already with its full stop) in the modal error box.
    std::function<void(QWidget* parent, const QString& text)> showError;
    // The standard list dialog: `items` under `label`, the first selected;
    // the index of the item chosen, nullopt when cancelled.
    std::function<std::optional<int>(QWidget* parent, const QString& title, const QString& label,
                                     const QStringList& items)>
        chooseItem;
    // The question box before Save writes texts that lose characters:
    // `text` says what will be written; true for Yes (save so), false for
    // No (back to the window).
    std::function<bool(QWidget* parent, const QString& text)> confirmTexts;
    // Asks the desktop which application opens compiled HTML help, without
    // waiting: `answer` gets its desktop entry once, or an empty text when
    // there is none or the desktop does not tell in time.
    std::function<void(std::function<void(const QString& viewer)> answer)> askHelpViewer;
    // Asks the desktop to open a file without waiting for it: `done` gets,
    // once, the exit code of the desktop's opener (0 opened; 3 or 4 no
    // application for it; -1 the opener could not be started).
    std::function<void(const QString& path, std::function<void(int status)> done)> openHelp;
    // Ends the process with `code`. A replacement that returns lets the
    // handler stop right there.
    std::function<void(int code)> endProcess;
};

// The window's caption: the product's name.
inline constexpr const char kWindowCaption[] = "TREVIK Data Converter";
// The application title: the error box's caption, spelled as the program
// has always spelled it.
inline constexpr const char kApplicationTitle[] = "TREVIK Data Cpnverter";

// The seams of the real desktop.
WindowSeams platformSeams();

// The open dialog: every file listed, any name accepted, also one that does
// not exist.
std::unique_ptr<QFileDialog> makeOpenDialog(QWidget* parent);
// The save dialog: "Gated SPECT Data (*.gsd)" and "All Files (*)", "gsd"
// added to a name without extension, an overwrite confirmed. A non-empty
// `proposed` path opens it in that folder with that name filled in.
std::unique_ptr<QFileDialog> makeSaveDialog(QWidget* parent, const QString& proposed = QString());

// Opens `path` with the desktop's default "open" action (xdg-open) without
// waiting for the viewer; `done` as for WindowSeams::openHelp.
void openHelp(const QString& path, std::function<void(int status)> done);

}  // namespace trevik::window
