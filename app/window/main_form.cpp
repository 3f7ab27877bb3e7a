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

#include "app/window/help.h"
#include "app/window/window_text.h"
#include "study/rules.h"

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
    // DICOM sources load into the same fields; an object with several
    // energy windows or R-R intervals is refused with the option that
    // chooses one (trevik-dicom import takes it).
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

void TMainForm::showText(QLineEdit* box, ShownText& memory, const char* field, std::size_t width) {
    memory.bytes.assign(field, ::strnlen(field, width));
    memory.shown = QString::fromUtf8(memory.bytes.data(), static_cast<qsizetype>(memory.bytes.size()));
    memory.valid = true;
    box->setText(memory.shown);
}

std::string TMainForm::boxBytes(const QLineEdit* box, const ShownText& memory, std::size_t width) const {
    if (memory.valid && box->text() == memory.shown) return memory.bytes;
    return utf8Cut(box->text(), width - 1);
}

QString TMainForm::statusText(const Status& status) {
    // The words of the status table through the translation catalogue,
    // expanded as the table expands them. A reader's own reason (a DICOM
    // object refused) is in the catalogue too: the argument is its
    // translation.
    Status shown = status;
    QByteArray reason;
    if (status.where.detail && (status.reason == Reason::NotSupported || status.reason == Reason::CannotRead)) {
        reason = QCoreApplication::translate("dicom", status.where.detail).toUtf8();
        shown.where.detail = reason.constData();
    }
    const QByteArray text = QCoreApplication::translate("status", statusWordsEntry(status).text).toUtf8();
    return QString::fromStdString(
        expandStatusWords(std::string_view(text.constData(), static_cast<std::size_t>(text.size())), shown));
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

    showText(edID, shownId_, r.id, sizeof r.id);
    showText(edName, shownName_, r.name, sizeof r.name);
    edDate->setText(QString::fromUtf8(r.date, static_cast<qsizetype>(::strnlen(r.date, sizeof r.date))));
    edTime->setText(QString::fromUtf8(r.time, static_cast<qsizetype>(::strnlen(r.time, sizeof r.time))));
    edHR->setText(QString::number(r.hr));
    showText(edTracer, shownTracer_, r.tracer, sizeof r.tracer);
    edPix->setText(floatText(r.pixel, decimalPoint()));

    // The box shows the thickness the file will hold.
    edThick->setText(floatText(writtenThickness(study_), decimalPoint()));

    showSex(r.sex);
    BtOK->setEnabled(true);
}

void TMainForm::BtOKClick() {
    const std::optional<QString> chosen = seams_.chooseOutput(this, proposedOutputPath(sourceName_));
    if (!chosen) return;
    PathBuffer path{};
    if (!takePath(*chosen, path)) return;
    outputPath_ = path;

    StudyRecord& r = study_.record;
    copyText(r.id, boxBytes(edID, shownId_, sizeof r.id));
    copyText(r.name, boxBytes(edName, shownName_, sizeof r.name));
    copyText(r.tracer, boxBytes(edTracer, shownTracer_, sizeof r.tracer));
    copyText(r.comment, utf8Cut(edComment->text(), sizeof r.comment - 1));
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
