// What Select and Save do with what a source holds beyond one plain study:
// several energy windows chosen in a list, texts decoded for the boxes, and
// the question box before Save writes a text that loses characters.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QLabel>
#include <QTest>

#include <cstring>

#include "reader/projection/loader.h"
#include "tests/app/process.h"
#include "tests/support/temp_dir.h"
#include "tests/window/window_test_support.h"
#include "writer/gsd/gsd_writer.h"
#ifdef TREVIK_DICOM_BIN
#include "tests/app/dicom/six_windows.h"
#endif

namespace trevik::window::test {
namespace {

using trevik::test::fileExists;
using trevik::test::readFile;
using trevik::test::TempDir;

#ifdef TREVIK_DICOM_BIN
TEST(Texts, SeveralEnergyWindowsAreChosenInAListAndCancelLeavesTheWindowAsItWas) {
    TempDir dir;
    const std::string source = saveSource({.division = 0, .images = 16}, dir.file("s.prj"));
    ASSERT_EQ(::trevik::test::runProcess(TREVIK_DICOM_BIN, {"export", source, dir.file("s.dcm")}).exitCode, 0);
    const std::string six = dir.file("six.dcm");
    ASSERT_TRUE(::trevik::test::saveSixWindows(dir.file("s.dcm"), six));
    WindowUnderTest w;
    TMainForm& f = *w.form;
    w.select(six);  // the list is cancelled
    ASSERT_EQ(w.desktop.itemLists.size(), 1u);
    EXPECT_EQ(w.desktop.itemLists[0],
              (QStringList{"1  TL201-70  63-77 keV", "2  TL201-167  150-184 keV", "3  SC70L  56-63 keV",
                           "4  SC70U  77-84 keV", "5  SC167L  134-150 keV", "6  SC167U  184-200 keV"}));
    EXPECT_FALSE(f.BtOK->isEnabled());
    EXPECT_EQ(f.pnIn->text(), QString());
    EXPECT_TRUE(w.inputPath.empty());
    EXPECT_TRUE(w.desktop.errors.empty());
    EXPECT_TRUE(w.desktop.endCodes.empty());

    w.desktop.itemAnswers = {1};
    w.select(six);
    EXPECT_TRUE(w.desktop.errors.empty());
    EXPECT_EQ(f.edComment->text(), QStringLiteral("energy window 2 TL201-167 150-184 keV"));
    w.save(dir.file("w.gsd"));
    // Save proposes the name that says which window, as import names it.
    ASSERT_EQ(w.desktop.proposedOutputs.size(), 1u);
    EXPECT_EQ(w.desktop.proposedOutputs[0], QString::fromStdString(dir.file("six-ew2.gsd")));
    ASSERT_EQ(w.desktop.endCodes, std::vector<int>{0});
    EXPECT_TRUE(w.desktop.questions.empty());
    // The file trevik-dicom import writes for the same choice.
    ASSERT_EQ(::trevik::test::runProcess(TREVIK_DICOM_BIN, {"import", "--energy-window", "2", six, dir.file("i.gsd")})
                  .exitCode,
              0);
    EXPECT_EQ(readFile(dir.file("w.gsd")), readFile(dir.file("i.gsd")));
}
#endif

TEST(Texts, AProjectionFilesCp932TextIsShownDecodedAndSaveSaysWhatItWillWrite) {
    TempDir dir;
    synth::StudyPlan plan;
    plan.name = "\x8E\x52\x93\x63\x91\xBE\x98\x59";  // 山田太郎 in CP932
    const std::string source = saveSource(plan, dir.file("a.prj"));
    WindowUnderTest w;
    TMainForm& f = *w.form;
    w.select(source);
    EXPECT_EQ(f.edName->text(), QStringLiteral("山田太郎"));

    // No: back to the window, nothing asked for or written.
    w.desktop.confirmAnswers = {false};
    w.save(dir.file("a.gsd"));
    ASSERT_EQ(w.desktop.questions.size(), 1u);
    // The file gets the record's bytes: each byte beyond ASCII "_", the
    // trailing bytes of CP932 that fall in ASCII as they are.
    EXPECT_TRUE(w.desktop.questions[0].contains(QStringLiteral("Name: 山田太郎 \u2192 _R_c___Y")))
        << w.desktop.questions[0].toStdString();
    EXPECT_FALSE(w.desktop.questions[0].contains(QStringLiteral("ID:")));
    EXPECT_EQ(w.desktop.outputDialogs, 0);
    EXPECT_TRUE(w.desktop.endCodes.empty());
    EXPECT_FALSE(fileExists(dir.file("a.gsd")));

    // Yes, the name left alone: the record's own bytes, as batch writes them.
    QTest::mouseClick(f.BtOK, Qt::LeftButton);
    ASSERT_EQ(w.desktop.endCodes, std::vector<int>{0});
    auto study = std::make_unique<Study>();
    ASSERT_EQ(loadStudy(source.c_str(), *study), kOk);
    ASSERT_EQ(writeGsd(dir.file("batch.gsd").c_str(), *study), kOk);
    EXPECT_EQ(readFile(dir.file("a.gsd")), readFile(dir.file("batch.gsd")));

    // Kana typed become what a Japanese keyboard types.
    WindowUnderTest v;
    v.select(source);
    v.form->edName->setText(QStringLiteral("やまだ^たろう"));
    v.save(dir.file("b.gsd"));
    ASSERT_EQ(v.desktop.questions.size(), 1u);
    EXPECT_TRUE(v.desktop.questions[0].contains(QStringLiteral("Name: やまだ^たろう \u2192 YAMADA^TAROU")));
    EXPECT_STREQ(v.study->record.name, "YAMADA^TAROU");
}

}  // namespace
}  // namespace trevik::window::test
