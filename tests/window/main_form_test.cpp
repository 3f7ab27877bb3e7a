// The main window driven through its real widgets: clicks, typing and keys,
// with a stand-in desktop answering the dialogs and recording the exit code
// the window asks for.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QFrame>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QToolButton>

#include <QTranslator>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <fstream>
#include <string>

#include "app/window/catalogue.h"
#include "reader/projection/loader.h"
#include "tests/app/process.h"
#include "tests/support/temp_dir.h"
#include "tests/window/main_form_helpers.h"
#include "tests/window/window_test_support.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik::window::test {
namespace {

using trevik::test::fileExists;
using trevik::test::readFile;
using trevik::test::TempDir;

TEST(MainForm, StartsEmptyWithEveryControlInPlace) {
    WindowUnderTest w;
    TMainForm& f = *w.form;
    EXPECT_EQ(f.objectName(), QStringLiteral("MainForm"));
    EXPECT_STREQ(f.metaObject()->className(), "trevik::window::TMainForm");
    EXPECT_EQ(f.windowTitle(), QStringLiteral("TREVIK Data Converter"));
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(f.size(), QSize(493, 225));
    EXPECT_EQ(f.font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(f.font().pixelSize(), 14);
    EXPECT_TRUE(f.font().bold());

    struct Place {
        const char* name;
        QRect geometry;
    };
    const Place places[] = {
        {"Panel1", {0, 0, 493, 34}},      {"Panel4", {0, 34, 493, 191}},     {"pnIn", {80, 8, 337, 18}},
        {"btIn", {423, 10, 48, 18}},      {"Panel3", {8, 23, 477, 134}},     {"edID", {88, 4, 136, 18}},
        {"edName", {88, 24, 136, 18}},    {"edHeight", {88, 44, 36, 18}},    {"edWeight", {164, 44, 36, 18}},
        {"edTracer", {88, 84, 136, 18}},  {"edComment", {88, 104, 136, 18}}, {"edDate", {328, 4, 136, 18}},
        {"edTime", {328, 24, 136, 18}},   {"edHR", {328, 45, 57, 18}},       {"edPix", {328, 84, 57, 18}},
        {"edThick", {328, 104, 57, 18}},  {"BtOK", {260, 164, 73, 25}},      {"BitBtn2", {336, 164, 73, 25}},
        {"btHelp", {412, 164, 73, 25}},
    };
    for (const Place& p : places) {
        auto* widget = f.findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(widget, nullptr) << p.name;
        EXPECT_EQ(widget->geometry(), p.geometry) << p.name;
    }
    EXPECT_EQ(f.rbM->pos(), QPoint(88, 66));
    EXPECT_EQ(f.rbF->pos(), QPoint(160, 66));

    // Initial texts and states.
    EXPECT_EQ(f.pnIn->text(), QString());
    for (QLineEdit* box : {f.edID, f.edName, f.edTracer, f.edComment, f.edDate, f.edTime})
        EXPECT_EQ(box->text(), QString()) << box->objectName().toStdString();
    EXPECT_EQ(f.edHeight->text(), QStringLiteral("0"));
    EXPECT_EQ(f.edWeight->text(), QStringLiteral("0"));
    EXPECT_EQ(f.edHR->text(), QStringLiteral("0"));
    EXPECT_EQ(f.edPix->text(), QStringLiteral("0.0"));
    EXPECT_EQ(f.edThick->text(), QStringLiteral("0.0"));
    for (QLineEdit* box : {f.edHR, f.edPix, f.edThick}) EXPECT_FALSE(box->isEnabled());
    // Date and time: selectable, not editable, in the disabled boxes' colour.
    const QBrush shown = f.edHR->palette().brush(QPalette::Disabled, QPalette::Text);
    for (QLineEdit* box : {f.edDate, f.edTime})
        EXPECT_TRUE(box->isEnabled() && box->isReadOnly() && box->palette().text() == shown);
    EXPECT_TRUE(f.rbM->isChecked());
    EXPECT_FALSE(f.rbF->isChecked());
    EXPECT_FALSE(f.BtOK->isEnabled());
    EXPECT_EQ(f.BtOK->text(), QStringLiteral("Save"));
    EXPECT_EQ(f.BitBtn2->text(), QStringLiteral("&Cancel"));
    EXPECT_EQ(w.btHelp()->text(), QStringLiteral("&Help"));
    EXPECT_EQ(w.btIn()->text(), QStringLiteral("Select"));
    EXPECT_FALSE(f.BtOK->icon().isNull());
    EXPECT_EQ(w.btIn()->focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(w.desktop.endCodes.empty());
}

TEST(MainForm, CaptionsReadInFullAndTheInputRowShowsTheFileName) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    for (const QLabel* label : f.findChildren<QLabel*>(QRegularExpression(QStringLiteral("^Label")))) {
        const std::string name = label->objectName().toStdString();
        const QRect text(label->pos(), label->sizeHint());
        EXPECT_TRUE(label->parentWidget()->contentsRect().contains(text)) << name;
        for (const QWidget* control : label->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const bool isControl = control->inherits("QLineEdit") || control->inherits("QAbstractButton");
            EXPECT_FALSE((isControl || control == f.pnIn) && text.adjusted(0, 0, 2, 0).intersects(control->geometry()))
                << name << " runs into " << control->objectName().toStdString();
        }
        EXPECT_EQ(label->font().pixelSize() < 14, name == "Label11" || name == "Label21") << name;
    }
    // A path longer than the box shows its end; Ctrl+O selects too.
    w.select(saveSource({}, dir.file(std::string(120, 'x') + ".prj")));
    EXPECT_EQ(f.pnIn->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    QTest::keyClick(f.edID, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(w.desktop.sourceDialogs, 2);
}

TEST(MainForm, TabOrderAndTheRadioGroupAsOneStop) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    auto tabs = [&](int count) {
        std::vector<QString> seen;
        for (int i = 0; i < count; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen.push_back(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
        }
        return seen;
    };
    auto names = [](std::initializer_list<const char*> list) {
        std::vector<QString> out;
        for (const char* n : list) out.push_back(QString::fromLatin1(n));
        return out;
    };
    ASSERT_EQ(QApplication::focusWidget(), f.edID);
    // Disabled boxes and a disabled Save are skipped.
    EXPECT_EQ(tabs(11), names({"edName", "edHeight", "edWeight", "edDate", "edTime", "edTracer", "edComment", "rbM",
                               "btHelp", "BitBtn2", "edID"}));

    synth::StudyPlan plan;
    plan.sex = "F";
    w.select(saveSource(plan, dir.file("f.prj")));
    ASSERT_TRUE(f.rbF->isChecked());
    f.edComment->setFocus();
    EXPECT_EQ(tabs(5), names({"rbF", "btHelp", "BitBtn2", "BtOK", "edID"}));

    // The arrow keys move within the group, either way round, and select.
    for (const Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_Left, Qt::Key_Right}) {
        QRadioButton* from = f.rbM->isChecked() ? f.rbM : f.rbF;
        QRadioButton* to = from == f.rbM ? f.rbF : f.rbM;
        from->setFocus();
        QTest::keyClick(from, key);
        EXPECT_TRUE(to->isChecked()) << key;
        EXPECT_EQ(QApplication::focusWidget(), to) << key;
    }
    EXPECT_TRUE(f.rbF->isChecked());
    QTest::keyClick(f.rbF, Qt::Key_Down);
    EXPECT_TRUE(f.rbM->isChecked());
    f.edComment->setFocus();
    EXPECT_EQ(tabs(2), names({"rbM", "btHelp"}));
}

TEST(MainForm, CancelledSelectChangesNothing) {
    WindowUnderTest w;
    TMainForm& f = *w.form;
    w.study->record.hr = 5;
    QTest::mouseClick(w.btIn(), Qt::LeftButton);  // the stand-in desktop cancels
    EXPECT_EQ(w.desktop.sourceDialogs, 1);
    EXPECT_EQ(f.pnIn->text(), QString());
    EXPECT_TRUE(w.inputPath.empty());
    EXPECT_EQ(w.study->record.hr, 5);
    EXPECT_FALSE(f.BtOK->isEnabled());
    EXPECT_EQ(f.edHR->text(), QStringLiteral("0"));
    EXPECT_TRUE(w.desktop.endCodes.empty());
    EXPECT_TRUE(w.desktop.errors.empty());
}

TEST(MainForm, SelectThatCannotLoadSaysWhyThenEndsWithTheLoadersResult) {
    TempDir dir;
    const std::string notes = dir.file("notes.txt");
    synth::SourceFile(16, false).bytes("just some text, not a projection file").save(notes);
    synth::StudyPlan cut;
    cut.imagesWritten = 10;
    const std::pair<std::string, const char*> cases[] = {
        {notes, "Cannot load %1: not a projection file: the element at offset 64 is (6A75,7374), not (0000,0000)."},
        {dir.file("missing.prj"), "Cannot load %1: the file cannot be opened: No such file or directory."},
        {saveSource(cut, dir.file("cut.prj")), "Cannot load %1: the pixel data ends in image 11, row 1."},
    };
    const std::vector<int> codes[] = {{kNotSupported}, {kCannotOpen}, {kEndsEarly}};
    for (int i = 0; i < 3; ++i) {
        WindowUnderTest w;
        w.select(cases[i].first);
        const QString name = QString::fromStdString(cases[i].first);
        EXPECT_EQ(w.desktop.errors, std::vector<QString>{QString::fromLatin1(cases[i].second).arg(name)});
        EXPECT_EQ(w.desktop.endCodes, codes[i]);
        EXPECT_EQ(w.form->pnIn->text(), name);
        EXPECT_STREQ(w.inputPath.c_str(), cases[i].first.c_str());
        EXPECT_FALSE(w.form->BtOK->isEnabled());
    }
}

// A file named on the command line: a Select without the dialog, good or not.
TEST(MainForm, OpeningANamedFileIsASelectWithoutTheDialog) {
    TempDir dir;
    synth::StudyPlan plan;
    plan.sex = "F";
    for (const std::string& path : {saveSource(plan, dir.file("a.prj")), dir.file("missing.prj"),
                                    dir.file(std::string(300, 'n'))}) {
        WindowUnderTest selected, opened;
        selected.select(path);
        opened.form->openSource(QString::fromStdString(path));
        EXPECT_EQ(opened.desktop.sourceDialogs, 0);
        EXPECT_EQ(opened.desktop.errors, selected.desktop.errors) << path;
        EXPECT_EQ(opened.desktop.endCodes, selected.desktop.endCodes) << path;
        for (const char* box : {"pnIn", "edID", "edDate", "edHR", "edPix", "edThick"})
            EXPECT_EQ(opened.form->findChild<QObject*>(box)->property("text"),
                      selected.form->findChild<QObject*>(box)->property("text")) << box;
        EXPECT_EQ(opened.form->rbF->isChecked(), selected.form->rbF->isChecked());
        EXPECT_EQ(opened.form->BtOK->isEnabled(), selected.form->BtOK->isEnabled());
    }
}

#ifdef TREVIK_DICOM_BIN
TEST(MainForm, ADicomExportFillsTheFieldsAsItsSourceDoes) {
    TempDir dir;
    synth::StudyPlan plan;
    plan.sex = "F";
    const std::string source = saveSource(plan, dir.file("a.prj"));
    ASSERT_EQ(::trevik::test::runProcess(TREVIK_DICOM_BIN, {"export", source, dir.file("a.dcm")}).exitCode, 0);
    WindowUnderTest fromSource, fromDicom;
    fromSource.select(source);
    fromDicom.select(dir.file("a.dcm"));
    EXPECT_TRUE(fromDicom.desktop.errors.empty());
    for (const char* box : {"edID", "edName", "edDate", "edTime", "edHR", "edTracer", "edPix", "edThick"})
        EXPECT_EQ(fromDicom.form->findChild<QObject*>(box)->property("text"),
                  fromSource.form->findChild<QObject*>(box)->property("text")) << box;
    EXPECT_TRUE(fromDicom.form->rbF->isChecked());
    EXPECT_TRUE(fromDicom.form->BtOK->isEnabled());
}
#endif

TEST(MainForm, SelectShowsTheSourceAndASecondSelectKeepsTypedFacts) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    typeInto(f.edHeight, QStringLiteral("170"));
    typeInto(f.edWeight, QStringLiteral("65"));
    typeInto(f.edComment, QStringLiteral("rest"));

    synth::StudyPlan first;
    first.hr = 72;
    first.pixelSpacing = "6.4\\6.4";
    first.sliceThickness = "3.2";
    first.slicePixels = 2;
    const std::string firstPath = saveSource(first, dir.file("first.prj"));
    w.select(firstPath);
    ASSERT_TRUE(w.desktop.endCodes.empty());
    EXPECT_EQ(f.pnIn->text(), QString::fromStdString(firstPath));
    EXPECT_STREQ(w.inputPath.c_str(), firstPath.c_str());
    EXPECT_EQ(f.edID->text(), QStringLiteral("A123-45"));
    EXPECT_EQ(f.edName->text(), QStringLiteral("SAMPLE PATIENT"));
    EXPECT_EQ(f.edDate->text(), QStringLiteral("2001.05.14"));
    EXPECT_EQ(f.edTime->text(), QStringLiteral("10:23:45"));
    EXPECT_EQ(f.edHR->text(), QStringLiteral("72"));
    EXPECT_EQ(f.edTracer->text(), QStringLiteral("99mTc"));
    EXPECT_EQ(f.edPix->text(), QStringLiteral("6.4"));
    // Slice pixels times pixel size; the record keeps the header's value.
    EXPECT_EQ(f.edThick->text(), QStringLiteral("12.8"));
    EXPECT_EQ(w.study->record.thick, 3.2);
    EXPECT_TRUE(f.rbM->isChecked());
    EXPECT_TRUE(f.BtOK->isEnabled());
    EXPECT_EQ(f.edHeight->text(), QStringLiteral("170"));
    EXPECT_EQ(f.edWeight->text(), QStringLiteral("65"));
    EXPECT_EQ(f.edComment->text(), QStringLiteral("rest"));

    // The user changes boxes that the next Select fills again.
    typeInto(f.edID, QStringLiteral("typed"));
    typeInto(f.edTime, QStringLiteral("11:00"));
    synth::StudyPlan second;
    second.id = "B-2";
    second.name = "OTHER";
    second.sex = "F";
    second.hr = -3;
    second.pixelSpacing = "3.3\\3.3";
    second.slicePixels = 1;
    second.tracer = "201Tl";
    const std::string secondPath = saveSource(second, dir.file("second.prj"));
    w.select(secondPath);
    ASSERT_TRUE(w.desktop.endCodes.empty());
    EXPECT_EQ(f.pnIn->text(), QString::fromStdString(secondPath));
    EXPECT_EQ(f.edID->text(), QStringLiteral("B-2"));
    EXPECT_EQ(f.edName->text(), QStringLiteral("OTHER"));
    EXPECT_EQ(f.edTime->text(), QStringLiteral("10:23:45"));
    EXPECT_EQ(f.edHR->text(), QStringLiteral("-3"));
    EXPECT_EQ(f.edTracer->text(), QStringLiteral("201Tl"));
    EXPECT_EQ(f.edPix->text(), QStringLiteral("3.3"));
    EXPECT_EQ(f.edThick->text(), QStringLiteral("3.3"));
    EXPECT_TRUE(f.rbF->isChecked());
    EXPECT_EQ(f.edHeight->text(), QStringLiteral("170"));
    EXPECT_EQ(f.edWeight->text(), QStringLiteral("65"));
    EXPECT_EQ(f.edComment->text(), QStringLiteral("rest"));
}

TEST(MainForm, SexShowsMOrFAndNeitherForAnythingElse) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    for (const std::string sex : {"M", "F", "m", "U", "", "F", "U"}) {
        synth::StudyPlan plan;
        plan.sex = sex;
        w.select(saveSource(plan, dir.file("s.prj")));
        EXPECT_EQ(f.rbM->isChecked(), sex == "M") << sex;
        EXPECT_EQ(f.rbF->isChecked(), sex == "F") << sex;  // also after the user's pick below
        // One tab stop: the checked button, Male when neither is.
        EXPECT_EQ(f.rbF->focusPolicy() == Qt::StrongFocus, sex == "F") << sex;
        EXPECT_EQ(f.rbM->focusPolicy() == Qt::StrongFocus, sex != "F") << sex;
        QTest::mouseClick(f.rbF, Qt::LeftButton, {}, QPoint(5, 8));
    }
    // The user's pick wins over the source's letter.
    w.save(dir.file("picked.gsd"));
    EXPECT_NE(readFile(dir.file("picked.gsd")).find("sex = F;"), std::string::npos);
}

TEST(MainForm, ReducedSourceShowsThePixelSizeAndThicknessTheFileGets) {
    TempDir dir;
    WindowUnderTest w;
    synth::StudyPlan plan;
    plan.matrix = 128;
    plan.pixelSpacing = "3.2\\3.2";
    plan.slicePixels = 2;
    w.select(saveSource(plan, dir.file("big.prj")));
    EXPECT_EQ(w.form->edPix->text(), QStringLiteral("6.4"));
    EXPECT_EQ(w.form->edThick->text(), QStringLiteral("6.4"));
    const std::string out = dir.file("big.gsd");
    w.save(out);
    ASSERT_EQ(w.desktop.endCodes, std::vector<int>{0});
    EXPECT_EQ(w.study->record.thick, 6.4);  // the header's value: the writer changes nothing
    EXPECT_NE(readFile(out).find("thick =     6.4000000000;"), std::string::npos);
}

}  // namespace
}  // namespace trevik::window::test
