// The main window: choose a source file, review and complete the study facts
// read from it, save the Gated SPECT data file. Every study value it shows
// comes from the Study it is given, and everything Select and Save take from
// it goes straight into that Study and the two path buffers.
#pragma once

#include <QWidget>

#include <string>

#include "app/window/window_seams.h"
#include "app/window/window_text.h"
#include "app/conversion/conversion.h"
#include "study/study.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QVBoxLayout;

namespace trevik::window {

class TMainForm : public QWidget {
    Q_OBJECT

public:
    // Builds the window over the application's study and path buffers, then
    // runs FormCreate, which shows it.
    TMainForm(Study& study, PathBuffer& inputPath, PathBuffer& outputPath, WindowSeams seams,
              QWidget* parent = nullptr);

    // The controls the handlers use, named as their object names. The others
    // (panels, captions, the Select and Help buttons) are found by name.
    QLabel* pnIn;
    QLineEdit *edID, *edName, *edHeight, *edWeight, *edTracer, *edComment, *edDate, *edTime, *edHR, *edPix,
        *edThick;
    QRadioButton *rbM, *rbF;
    QPushButton *BtOK, *BitBtn2;

    // Opens the source `path` as Select does once its dialog has chosen it:
    // the window then shows it, or the error box comes and the process ends
    // with the load's result. For a file named on the command line.
    void openSource(const QString& path);

public slots:
    void FormCreate();
    void btInClick();
    void BtOKClick();
    void BitBtn2Click();
    void btHelpClick();

protected:
    // Enter clicks Save while it is enabled, Esc clicks Cancel; a key reaches
    // the window when the focused control does not take it.
    void keyPressEvent(QKeyEvent* event) override;
    // Height and weight show the start of their text once left.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A record text as it was put into its box, so that a box the user left
    // alone gives back exactly the bytes the source held.
    struct ShownText {
        QString shown;
        std::string bytes;
        bool valid = false;
    };

    // What a DICOM source offers beyond its record: its texts decoded to
    // Unicode (empty: the record's own are shown) and the words that name
    // the energy window and R-R interval taken out of several.
    struct SourceTexts {
        QString name, id;
        QString label;
    };

    // Creates the controls in their order (which is also their stacking
    // and the focus chain's start).
    void buildControls();
    QFrame* buildInputRow(QVBoxLayout* layout);
    void buildStudyFields(QFrame* panel);
    // Shows a record text: `decoded` where the source gave one that reads as
    // the record holds it, otherwise the record's bytes decoded.
    void showText(QLineEdit* box, ShownText& memory, const char* field, std::size_t width,
                  const QString& decoded = QString());
    // What the record gets from a box: the source's own bytes where the box
    // still shows them, otherwise typedBytes.
    std::string boxBytes(const QLineEdit* box, const ShownText& memory, TextField field, std::size_t width) const;
    // Asks which energy window and R-R interval to take where a DICOM source
    // holds several (the standard list dialog) and sets the reader's choice;
    // false when the user cancelled. Fills `texts` from the object.
    bool chooseFrames(const char* path, SourceTexts& texts);
    // Before Save: where a text holds characters the file cannot hold, the
    // question box lists field, text and what will be written; false for No.
    // With the loaded study's quality-control warnings, when it has any
    // (the same question box lists them).
    bool confirmLostCharacters();
    // The quality control of the study just loaded: its warnings, in the
    // words trevik-inspect reports them.
    void checkLoaded();
    // Copies the name from a dialog into `buffer`; refuses (error box, false)
    // a name that does not fit.
    bool takePath(const QString& name, PathBuffer& buffer);
    // Converts a height or weight box; shows the conversion error and gives
    // false when its text is not a number.
    bool readNumber(const QLineEdit* box, float& into);
    // The words of a status, in the user's language where the catalogue has them.
    static QString statusText(const Status& status);
    // What the error box says when `name` could not be loaded: why, in the
    // status words.
    QString loadFailureText(const Status& status, const QString& name) const;
    // Checks Male for "M", Female for "F", neither for anything else.
    void showSex(const char* sex);
    void keepRadioTabStop();
    // Shows `path` in the input row; a path longer than the box shows its
    // end, where the file name is.
    void showSourcePath(const QString& path);

    Study& study_;
    PathBuffer& inputPath_;
    PathBuffer& outputPath_;
    WindowSeams seams_;
    Conversion conversion_;
    ShownText shownId_, shownName_, shownTracer_;
    QString shownLabel_;  // the label last put into the comment box
    QStringList qcWarnings_;  // the loaded study's quality-control warnings, asked about before Save
    QString sourceName_;  // the source as the user chose it, for the save dialog's proposal
};

}  // namespace trevik::window
