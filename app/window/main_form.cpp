// The main window's work: it opens a source through the conversion flow,
// shows its facts, takes the user's edits back into the study and saves it;
// the words of a failure come from the status table through the catalogue.
#include "app/window/main_form.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>

#include <cstring>
#include <string_view>

#include "app/inspect/qc_report.h"
#include "app/window/help.h"
#include "app/window/window_text.h"
#include "reader/dicom/part10.h"
#include "study/rules.h"

#ifdef TREVIK_WINDOW_DICOM
#include "reader/dicom/dicom_source.h"
#endif

namespace trevik::window {

namespace {

QString decimalPoint() { return QLocale().decimalPoint(); }


}  // namespace

TMainForm::TMainForm(Study& study, PathBuffer& inputPath, PathBuffer& outputPath, WindowSeams seams, QWidget* parent)
    : QWidget(parent),
      study_(study),
      inputPath_(inputPath),
      outputPath_(outputPath),
      seams_(std::move(seams)),
      conversion_(study, inputPath, outputPath) {
#ifdef TREVIK_WINDOW_DICOM
    // DICOM sources load into the same fields; where an object holds
    // several energy windows or R-R intervals, Select asks which one.
    conversion_.readDicomWith(dicom::loadDicomStudy);
#endif
    buildControls();
    FormCreate();
}

void TMainForm::FormCreate() {
    resetGating(study_.record);
    edHR->setEnabled(false);
    edPix->setEnabled(false);
    edThick->setEnabled(false);
    show();
    edID->setFocus();
}

void TMainForm::showText(QLineEdit* box, ShownText& memory, const char* field, std::size_t width,
                         const QString& decoded) {
    memory.bytes.assign(field, ::strnlen(field, width));
    memory.shown = decoded.isEmpty() ? recordText(memory.bytes) : decoded;
    memory.valid = true;
    box->setText(memory.shown);
}

std::string TMainForm::boxBytes(const QLineEdit* box, const ShownText& memory, TextField field,
                                std::size_t width) const {
    if (memory.valid && box->text() == memory.shown) return memory.bytes;
    return typedBytes(field, box->text(), width - 1);
}

bool TMainForm::confirmLostCharacters() {
    const StudyRecord& r = study_.record;
    const ShownText none;
    struct Row {
        const char* caption;
        const QLineEdit* box;
        const ShownText& memory;
        TextField field;
        std::size_t width;
    };
    const Row rows[] = {
        {QT_TR_NOOP("ID"), edID, shownId_, TextField::Id, sizeof r.id},
        {QT_TR_NOOP("Name"), edName, shownName_, TextField::Name, sizeof r.name},
        {QT_TR_NOOP("Tracer"), edTracer, shownTracer_, TextField::Tracer, sizeof r.tracer},
        {QT_TR_NOOP("Comment"), edComment, none, TextField::Comment, sizeof r.comment},
    };
    QStringList lines;
    for (const Row& row : rows)
        if (beyondAscii(row.box->text()))
            lines << tr("%1: %2 \u2192 %3")
                         .arg(tr(row.caption), row.box->text(),
                              writtenToken(boxBytes(row.box, row.memory, row.field, row.width)));
    if (qcWarnings_.isEmpty()) {
        if (lines.isEmpty()) return true;
        return seams_.confirmTexts(
            this, tr("The Gated SPECT data file holds ASCII letters only. These texts will be written so:\n\n%1\n\n"
                     "Save them so? No returns to the window, where you can correct them.")
                      .arg(lines.join(QLatin1Char('\n'))));
    }
    QString text;
    if (!lines.isEmpty())
        text = tr("The Gated SPECT data file holds ASCII letters only. These texts will be written so:\n\n%1\n\n")
                   .arg(lines.join(QLatin1Char('\n')));
    return seams_.confirmTexts(
        this, text + tr("The quality control of the projections warns:\n\n%1\n\n"
                        "Save anyway? No returns to the window.")
                         .arg(qcWarnings_.join(QLatin1Char('\n'))));
}

void TMainForm::checkLoaded() {
    qcWarnings_.clear();
    const StudyRecord& r = study_.record;
    const int divisions = r.division > 1 ? r.division : 1, frames = r.frames;
    if (frames < 1 || divisions * frames > FrameStore::kSlots) return;
    const bool reverse = study_.flags.reverseFrames;
    qc::Facts facts;
    qc::describe(facts, r);
    inspect::Inspection ins;
    inspect::Text words;
    inspect::reportQc(words, {divisions, frames, [&](int d, int v) { return study_.store.frame(d, reverse ? frames - 1 - v : v); }},
                      ins, facts);
    const QStringList lines = QString::fromStdString(words.str()).split(QLatin1Char('\n'));
    for (const QString& line : lines)
        if (line.startsWith(QLatin1String("warning: qc "))) qcWarnings_ << line.mid(12);
}

QString TMainForm::statusText(const Status& status) {
    // The words of the status table through the translation catalogue,
    // expanded as the table expands them.
    const QByteArray text = QCoreApplication::translate("status", statusWordsEntry(status).text).toUtf8();
    return QString::fromStdString(
        expandStatusWords(std::string_view(text.constData(), static_cast<std::size_t>(text.size())), status));
}

QString TMainForm::loadFailureText(const Status& status, const QString& name) const {
    return tr("Cannot load %1: %2.").arg(name, statusText(status));
}

bool TMainForm::takePath(const QString& name, PathBuffer& buffer) {
    const QByteArray bytes = QFile::encodeName(name);
    const Status taken = trevik::takePath(buffer, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (taken.ok()) return true;
    const QString message = taken.reason == Reason::PathTooLong
                                ? tr("File name too long (more than 255 bytes): %1").arg(name)
                                : tr("File name holds a zero byte: %1").arg(name);
    seams_.showError(this, errorBoxText(message));
    return false;
}

bool TMainForm::readNumber(const QLineEdit* box, float& into) {
    const std::optional<float> value = parseFloat(box->text(), decimalPoint());
    if (!value) {
        seams_.showError(this, tr("'%1' is not a floating-point number.").arg(box->text()));
        return false;
    }
    into = *value;
    return true;
}

void TMainForm::btInClick() {
    const std::optional<QString> chosen = seams_.chooseSource(this);
    if (!chosen) return;
    openSource(*chosen);
}

void TMainForm::openSource(const QString& chosen) {
    PathBuffer path{};
    if (!takePath(chosen, path)) return;
    // A cancelled choice of energy window or interval leaves the window as it was.
    SourceTexts texts;
    if (!chooseFrames(path.c_str(), texts)) return;

    StudyRecord& r = study_.record;
    showSourcePath(chosen);
    if (const Status loaded = conversion_.load(path.c_str()); !loaded.ok()) {
        // The user learns why before the process ends with the loader's
        // code, the one a caller checks.
        seams_.showError(this, loadFailureText(loaded, chosen));
        seams_.endProcess(loaded.code);
        return;
    }
    sourceName_ = chosen;
    sourceSuffix_ = texts.suffix;
    checkLoaded();

    // The object's own texts where they read as the record holds them.
    const auto readsAs = [](const QString& text, TextField field, const char* bytes, std::size_t width) {
        return !text.isEmpty() && typedBytes(field, text, width - 1) == std::string(bytes, ::strnlen(bytes, width));
    };
    showText(edID, shownId_, r.id, sizeof r.id, readsAs(texts.id, TextField::Id, r.id, sizeof r.id) ? texts.id : QString());
    showText(edName, shownName_, r.name, sizeof r.name,
             readsAs(texts.name, TextField::Name, r.name, sizeof r.name) ? texts.name : QString());
    edDate->setText(QString::fromUtf8(r.date, static_cast<qsizetype>(::strnlen(r.date, sizeof r.date))));
    edTime->setText(QString::fromUtf8(r.time, static_cast<qsizetype>(::strnlen(r.time, sizeof r.time))));
    edHR->setText(QString::number(r.hr));
    showText(edTracer, shownTracer_, r.tracer, sizeof r.tracer);
    edPix->setText(floatText(r.pixel, decimalPoint()));

    // The box shows the thickness the file will hold.
    edThick->setText(floatText(writtenThickness(study_), decimalPoint()));

    showSex(r.sex);
    // The window or interval taken out of several goes into the comment, as
    // trevik-dicom import writes it, unless the user typed one.
    if (edComment->text().isEmpty() || edComment->text() == shownLabel_) {
        edComment->setText(texts.label);
        edComment->setCursorPosition(0);
    }
    shownLabel_ = texts.label;
    BtOK->setEnabled(true);
}

void TMainForm::BtOKClick() {
    if (!confirmLostCharacters()) return;
    const std::optional<QString> chosen = seams_.chooseOutput(this, proposedOutputPath(sourceName_, sourceSuffix_));
    if (!chosen) return;
    PathBuffer path{};
    if (!takePath(*chosen, path)) return;
    outputPath_ = path;

    StudyRecord& r = study_.record;
    copyText(r.id, boxBytes(edID, shownId_, TextField::Id, sizeof r.id));
    copyText(r.name, boxBytes(edName, shownName_, TextField::Name, sizeof r.name));
    copyText(r.tracer, boxBytes(edTracer, shownTracer_, TextField::Tracer, sizeof r.tracer));
    copyText(r.comment, typedBytes(TextField::Comment, edComment->text(), sizeof r.comment - 1));
    // Neither button checked: the source's own letter, which the record holds.
    if (rbM->isChecked()) copyText(r.sex, "M");
    if (rbF->isChecked()) copyText(r.sex, "F");
    if (!readNumber(edHeight, r.height)) return;
    if (!readNumber(edWeight, r.weight)) return;

    const Status written = conversion_.write(outputPath_.c_str());
    if (written.ok()) {
        seams_.endProcess(0);
        return;
    }
    // Nothing at the output has changed; the window stays as it is, so that
    // the user can save elsewhere or cancel.
    if (written.reason == Reason::KeptSource) {
        seams_.showError(this, dicom::isDicomFile(outputPath_.c_str())
                                   ? tr("%1 is a DICOM source file and is kept.").arg(*chosen)
                                   : tr("%1 is a projection file and is kept.").arg(*chosen));
        return;
    }
    const QString why = written.where.error != 0 ? QString::fromLocal8Bit(std::strerror(written.where.error))
                                                 : statusText(written);
    seams_.showError(this, tr("Cannot write %1: %2.").arg(*chosen, why));
}

void TMainForm::BitBtn2Click() { seams_.endProcess(-1); }

void TMainForm::btHelpClick() {
    showHelp(seams_, QCoreApplication::applicationDirPath(), this);
}

}  // namespace trevik::window
