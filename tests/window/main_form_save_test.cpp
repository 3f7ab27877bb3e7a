// The main window's save and keys, driven through its real widgets: what
// a save writes (the batch's bytes, typed facts but never date or time, a
// failed write that keeps the window), Esc and Enter, help, long file
// names, texts and numbers in the desktop's locale, the Japanese interface.
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

TEST(MainForm, HeightOrWeightThatIsNotANumberStopsSaveAndKeepsWhatWasCopied) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    w.select(saveSource({}, dir.file("a.prj")));
    typeInto(f.edID, QStringLiteral("NEW-ID"));
    typeInto(f.edComment, QStringLiteral("first try"));
    typeInto(f.edHeight, QString());
    const std::string out = dir.file("a.gsd");
    w.save(out);
    ASSERT_EQ(w.desktop.errors.size(), 1u);
    EXPECT_EQ(w.desktop.errors[0], QStringLiteral("'' is not a floating-point number."));
    EXPECT_TRUE(w.desktop.endCodes.empty());
    EXPECT_FALSE(fileExists(out));
    EXPECT_TRUE(f.isVisible());
    // What Save did before the conversion stays done.
    EXPECT_STREQ(w.outputPath.c_str(), out.c_str());
    EXPECT_STREQ(w.study->record.id, "NEW-ID");
    EXPECT_STREQ(w.study->record.comment, "first try");
    EXPECT_STREQ(w.study->record.sex, "M");

    typeInto(f.edHeight, QStringLiteral("170"));
    typeInto(f.edWeight, QStringLiteral("abc"));
    w.save(out);
    EXPECT_EQ(w.desktop.outputDialogs, 2);
    ASSERT_EQ(w.desktop.errors.size(), 2u);
    EXPECT_EQ(w.desktop.errors[1], QStringLiteral("'abc' is not a floating-point number."));
    EXPECT_EQ(w.study->record.height, 170.0f);
    EXPECT_EQ(w.study->record.weight, 0.0f);
    EXPECT_FALSE(fileExists(out));
    EXPECT_TRUE(w.desktop.endCodes.empty());

    // A cancelled save dialog changes nothing.
    typeInto(f.edID, QStringLiteral("NEWER"));
    QTest::mouseClick(f.BtOK, Qt::LeftButton);
    EXPECT_EQ(w.desktop.outputDialogs, 3);
    EXPECT_STREQ(w.study->record.id, "NEW-ID");
    EXPECT_EQ(w.desktop.errors.size(), 2u);
}

TEST(MainForm, SaveWithoutEditsWritesWhatBatchWrites) {
    TempDir dir;
    const synth::StudyPlan plans[] = {{.hr = 64, .reverse = true}, {.sex = "F"}, {.sex = ""}, {.sex = "U"},
                                      {.matrix = 128, .floats = true, .slicePixels = 2}};
    for (std::size_t i = 0; i < std::size(plans); ++i) {
        WindowUnderTest w;
        const std::string stem = dir.file(std::to_string(i));
        w.select(saveSource(plans[i], stem + ".prj"));
        w.save(stem + ".gsd");
        EXPECT_EQ(w.desktop.endCodes, std::vector<int>{0}) << i;
        EXPECT_STREQ(w.outputPath.c_str(), (stem + ".gsd").c_str());
        const std::string written = readFile(stem + ".gsd");
        EXPECT_EQ(written, batchOutput(stem + ".prj", dir.file("batch.gsd"))) << i;
        // The defaults "0" store 0, and the writer leaves both lines out.
        EXPECT_EQ(w.study->record.height, 0.0f);
        EXPECT_EQ(w.study->record.weight, 0.0f);
        EXPECT_EQ(written.find("height"), std::string::npos);
        EXPECT_EQ(written.find("weight"), std::string::npos);
    }
}

TEST(MainForm, SaveTakesTypedFactsButNeverDateOrTime) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    w.select(saveSource({}, dir.file("a.prj")));
    typeInto(f.edHeight, QStringLiteral(" 170 "));
    typeInto(f.edWeight, QStringLiteral("65.5"));
    typeInto(f.edName, QStringLiteral("DOE JOHN"));
    typeInto(f.edTracer, QStringLiteral("201Tl"));
    typeInto(f.edComment, QStringLiteral("stress"));
    typeInto(f.edDate, QStringLiteral("1999.01.01"));
    typeInto(f.edTime, QStringLiteral("00:00:00"));
    EXPECT_EQ(f.edDate->text(), QStringLiteral("2001.05.14"));  // nothing typed reaches them
    EXPECT_EQ(f.edTime->text(), QStringLiteral("10:23:45"));
    const std::string out = dir.file("a.gsd");
    w.save(out);
    ASSERT_EQ(w.desktop.endCodes, std::vector<int>{0});
    const StudyRecord& r = w.study->record;
    EXPECT_EQ(r.height, 170.0f);
    EXPECT_EQ(r.weight, 65.5f);
    EXPECT_STREQ(r.name, "DOE JOHN");
    EXPECT_STREQ(r.tracer, "201Tl");
    EXPECT_STREQ(r.comment, "stress");
    EXPECT_STREQ(r.date, "2001.05.14");
    EXPECT_STREQ(r.time, "10:23:45");
    const std::string written = readFile(out);
    EXPECT_NE(written.find("height = "), std::string::npos);
    EXPECT_NE(written.find("comment = stress;"), std::string::npos);
    EXPECT_NE(written.find("2001.05.14"), std::string::npos);
    EXPECT_EQ(written.find("1999.01.01"), std::string::npos);
    EXPECT_EQ(written.find("00:00:00"), std::string::npos);
}

TEST(MainForm, SaveProposesTheSourcesNameAndAFailedWriteKeepsTheWindow) {
    TempDir dir;
    {
        // Under the source's own name: a projection file is the camera's
        // only copy, so it is kept and the window says so.
        WindowUnderTest w;
        const std::string source = saveSource({}, dir.file("same.prj"));
        const std::string camera = readFile(source);
        w.select(source);
        w.save(source);
        EXPECT_TRUE(w.desktop.endCodes.empty());
        EXPECT_EQ(w.desktop.errors, std::vector<QString>{QStringLiteral("%1 is a projection file and is kept.")
                                                             .arg(QString::fromStdString(source))});
        EXPECT_EQ(readFile(source), camera);
    }
    WindowUnderTest w;
    TMainForm& f = *w.form;
    w.select(saveSource({}, dir.file("b.c.prj")));
    typeInto(f.edComment, QStringLiteral("kept"));
    const std::string bad = dir.file("no-such-folder/b.gsd");
    w.save(bad);
    EXPECT_EQ(w.desktop.proposedOutputs, std::vector<QString>{QString::fromStdString(dir.file("b.c.gsd"))});
    const QString why = QString::fromLocal8Bit(std::strerror(ENOENT));
    EXPECT_EQ(w.desktop.errors,
              std::vector<QString>{QStringLiteral("Cannot write %1: %2.").arg(QString::fromStdString(bad), why)});
    EXPECT_TRUE(w.desktop.endCodes.empty());
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(f.edComment->text(), QStringLiteral("kept"));
    // Saved elsewhere, it is the file it would have been.
    const std::string good = dir.file("b.gsd");
    w.save(good);
    EXPECT_EQ(w.desktop.endCodes, std::vector<int>{0});
    EXPECT_NE(readFile(good).find("comment = kept;"), std::string::npos);
}

TEST(MainForm, EscCancelsFromAnywhereAndEnterSavesOnlyWhenEnabled) {
    TempDir dir;
    {
        WindowUnderTest w;
        // Enter does nothing while Save is disabled.
        QTest::keyClick(w.form->edID, Qt::Key_Return);
        QTest::keyClick(w.form->rbM, Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_EQ(w.desktop.outputDialogs, 0);
        EXPECT_TRUE(w.desktop.endCodes.empty());
        QTest::keyClick(w.form->edName, Qt::Key_Escape);
        EXPECT_EQ(w.desktop.endCodes, std::vector<int>{-1});
    }
    {
        WindowUnderTest w;
        w.select(saveSource({}, dir.file("a.prj")));
        // Enter in a box clicks Save; the stand-in dialog is cancelled.
        QTest::keyClick(w.form->edHeight, Qt::Key_Return);
        EXPECT_EQ(w.desktop.outputDialogs, 1);
        // Enter on a focused button clicks that button.
        w.btHelp()->setFocus();
        QTest::keyClick(w.btHelp(), Qt::Key_Return);
        EXPECT_EQ(w.desktop.helpFiles.size(), 1u);
        EXPECT_EQ(w.desktop.outputDialogs, 1);
        w.form->BitBtn2->setFocus();
        QTest::keyClick(w.form->BitBtn2, Qt::Key_Escape);
        EXPECT_EQ(w.desktop.endCodes, std::vector<int>{-1});
        EXPECT_FALSE(fileExists(dir.file("a.gsd")));
    }
    {
        WindowUnderTest w;
        QTest::mouseClick(w.form->BitBtn2, Qt::LeftButton);
        EXPECT_EQ(w.desktop.endCodes, std::vector<int>{-1});
    }
}

TEST(MainForm, HelpAsksForTheHelpFileBesideTheProgramAndCarriesOn) {
    WindowUnderTest w;
    QTest::mouseClick(w.btHelp(), Qt::LeftButton);
    ASSERT_EQ(w.desktop.helpFiles.size(), 1u);
    EXPECT_EQ(w.desktop.helpFiles[0], QCoreApplication::applicationDirPath() + QStringLiteral("/trevik.chm"));
    // The stand-in desktop opened it; nothing is reported.
    EXPECT_TRUE(w.desktop.errors.empty());
    EXPECT_TRUE(w.desktop.endCodes.empty());
    EXPECT_TRUE(w.form->isVisible());
}

TEST(MainForm, FileNamesOver255BytesAreRefusedBeforeAnythingChanges) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    const std::string tooLong = dir.path() + "/" + std::string(256 - dir.path().size() - 2, 'x') + "y";
    ASSERT_EQ(tooLong.size(), 256u);
    w.study->record.hr = 9;
    w.select(tooLong);
    ASSERT_EQ(w.desktop.errors.size(), 1u);
    EXPECT_EQ(w.desktop.errors[0],
              QStringLiteral("File name too long (more than 255 bytes): ") + QString::fromStdString(tooLong) + ".");
    EXPECT_EQ(f.pnIn->text(), QString());
    EXPECT_TRUE(w.inputPath.empty());
    EXPECT_EQ(w.study->record.hr, 9);
    EXPECT_TRUE(w.desktop.endCodes.empty());

    const std::string source = saveSource({}, dir.file("a.prj"));
    w.select(source);
    ASSERT_TRUE(f.BtOK->isEnabled());
    typeInto(f.edID, QStringLiteral("TYPED"));
    w.save(tooLong);
    ASSERT_EQ(w.desktop.errors.size(), 2u);
    EXPECT_TRUE(w.outputPath.empty());
    EXPECT_STREQ(w.study->record.id, "A123-45");
    EXPECT_TRUE(w.desktop.endCodes.empty());

    // Multi-byte characters count in bytes: 128 two-byte letters are 256.
    const QString wide = QString(128, QChar(0xE9));
    w.desktop.outputAnswers.push_back(wide);
    QTest::mouseClick(f.BtOK, Qt::LeftButton);
    EXPECT_EQ(w.desktop.errors.size(), 3u);
    EXPECT_TRUE(w.outputPath.empty());

    // Exactly 255 bytes are held whole.
    const std::string longest = tooLong.substr(0, 255);
    w.save(longest);
    EXPECT_EQ(w.desktop.errors.size(), 3u);
    EXPECT_STREQ(w.outputPath.c_str(), longest.c_str());
}

// A deliberate change of Save: typed text beyond ASCII is written as the
// ASCII a clinic reads (it was UTF-8, which the file wrote as one "_" a
// byte), after the question box that says so.
TEST(MainForm, TextsKeepTheSourcesBytesAndTypedTextBecomesReadableAscii) {
    TempDir dir;
    WindowUnderTest w;
    TMainForm& f = *w.form;
    synth::StudyPlan plan;
    plan.name = "M\xFC" "LLER";  // a Latin-1 byte, neither UTF-8 nor CP932
    plan.id = "\xE5\xB1\xB1\xE7\x94\xB0";  // 山田 in UTF-8
    w.select(saveSource(plan, dir.file("a.prj")));
    EXPECT_EQ(f.edID->text(), QStringLiteral("山田"));
    EXPECT_EQ(f.edName->text(), QStringLiteral("M\uFFFDLLER"));
    typeInto(f.edTracer, QString(30, QChar(0x65E5)));  // 日 x 30
    typeInto(f.edComment, QString(60, QChar(0xE9)));  // é x 60
    w.save(dir.file("a.gsd"));
    const StudyRecord& r = w.study->record;
    EXPECT_EQ(FIELD(r.name), "M\xFCLLER");  // left alone: the same bytes
    EXPECT_EQ(FIELD(r.id), plan.id);
    EXPECT_EQ(FIELD(r.tracer), std::string(19, '_'));  // one "_" a character, cut to the field
    EXPECT_EQ(FIELD(r.comment), std::string(60, 'e'));
    ASSERT_EQ(w.desktop.questions.size(), 1u);
    for (const QString& line : {QStringLiteral("ID: 山田 \u2192 ______"), QStringLiteral("Name: M\uFFFDLLER \u2192 M_LLER"),
                                QStringLiteral("Comment: ") + QString(60, QChar(0xE9)) + QStringLiteral(" \u2192 ") +
                                    QString(60, QLatin1Char('e'))})
        EXPECT_TRUE(w.desktop.questions[0].contains(line)) << line.toStdString() << "\n"
                                                          << w.desktop.questions[0].toStdString();

    WindowUnderTest v;
    v.select(dir.file("a.prj"));
    typeInto(v.form->edName, QStringLiteral("Müller"));
    v.save(dir.file("b.gsd"));
    EXPECT_EQ(FIELD(v.study->record.name), "Muller");
}

TEST(MainForm, NumbersFollowTheDesktopLocaleButTheFileDoesNot) {
    TempDir dir;
    const std::string previousC = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale on this machine";
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    WindowUnderTest w;
    TMainForm& f = *w.form;
    synth::StudyPlan plan;
    plan.pixelSpacing = "6.4\\6.4";
    plan.slicePixels = 2;
    const std::string source = saveSource(plan, dir.file("a.prj"));
    w.select(source);
    EXPECT_EQ(f.edPix->text(), QStringLiteral("6,4"));
    EXPECT_EQ(f.edThick->text(), QStringLiteral("12,8"));
    typeInto(f.edHeight, QStringLiteral("170,5"));
    typeInto(f.edWeight, QStringLiteral("1.5"));
    w.save(dir.file("a.gsd"));
    ASSERT_EQ(w.desktop.errors.size(), 1u);
    EXPECT_EQ(w.desktop.errors[0], QStringLiteral("'1.5' is not a floating-point number."));
    typeInto(f.edWeight, QStringLiteral("65,25"));
    w.save(dir.file("a.gsd"));
    ASSERT_EQ(w.desktop.endCodes, std::vector<int>{0});
    EXPECT_EQ(w.study->record.height, 170.5f);
    EXPECT_EQ(w.study->record.weight, 65.25f);
    const std::string written = readFile(dir.file("a.gsd"));

    QLocale::setDefault(previous);
    std::setlocale(LC_ALL, previousC.c_str());
    // The same record written in the C locale gives the same bytes.
    auto expected = std::make_unique<Study>();
    ASSERT_EQ(loadStudy(source.c_str(), *expected), kOk);
    expected->record = w.study->record;
    ASSERT_EQ(writeGsd(dir.file("c.gsd").c_str(), *expected), kOk);
    EXPECT_EQ(written, readFile(dir.file("c.gsd")));
    const std::string header = written.substr(0, written.find('\f'));
    EXPECT_EQ(header.find(','), std::string::npos) << header;
}

TEST(MainForm, JapaneseInterfaceShowsTheJapaneseCatalogue) {
    TempDir dir;
    application();
    QTranslator english, japanese;
    EXPECT_FALSE(loadCatalogue(english, QLocale(QLocale::English, QLocale::UnitedStates)));
    ASSERT_TRUE(loadCatalogue(japanese, QLocale(QLocale::Japanese, QLocale::Japan)));
    QCoreApplication::installTranslator(&japanese);
    WindowUnderTest w;
    w.select(saveSource({}, dir.file("a.prj")));
    typeInto(w.form->edHeight, QStringLiteral("abc"));
    w.save(dir.file("a.gsd"));
    w.select(dir.file("missing.prj"));
#ifdef TREVIK_WINDOW_DICOM
    const std::string marked = dir.file("marked.dcm");  // the marker and nothing after it
    std::ofstream(marked, std::ios::binary) << std::string(128, '\0') << "DICM";
    w.select(marked);
#endif
    EXPECT_EQ(makeOpenDialog(nullptr)->nameFilters(),
              (QStringList{QStringLiteral("すべてのファイル (*)"), QStringLiteral("DICOM ファイル (*.dcm *.DCM *.dicom)")}));
    QCoreApplication::removeTranslator(&japanese);
    const QString missing = QString::fromStdString(dir.file("missing.prj"));
    std::vector<QString> errors{QStringLiteral("'abc' は浮動小数点数ではありません."),
                                missing + QStringLiteral(" を読み込めません: ファイルを開けません: ") +
                                    QString::fromLocal8Bit(std::strerror(ENOENT)) + QStringLiteral("。")};
#ifdef TREVIK_WINDOW_DICOM
    errors.push_back(QString::fromStdString(marked) +
                     QStringLiteral(" を読み込めません: ファイルが要素の途中で終わっています。"));
#endif
    EXPECT_EQ(w.desktop.errors, errors);

    // The toolkit's own texts (file dialogs, standard buttons) follow ours
    // into Japanese, from the toolkit's installed catalogue; not under English.
    QTranslator toolkit;
    EXPECT_FALSE(loadToolkitCatalogue(toolkit, english));
    ASSERT_TRUE(loadToolkitCatalogue(toolkit, japanese)) << "qt6-translations-l10n is not installed";
    EXPECT_EQ(toolkit.translate("QPlatformTheme", "Cancel"), QStringLiteral("キャンセル"));
    EXPECT_FALSE(toolkit.translate("QFileDialog", "Look in:").isEmpty());
}

}  // namespace
}  // namespace trevik::window::test
