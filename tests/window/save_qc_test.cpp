// The question before Save lists the loaded study's quality-control
// warnings: No returns to the window, Yes saves; a study without warnings
// and with ASCII texts saves without a question.
#include <gtest/gtest.h>

#include <QLineEdit>

#include <filesystem>

#include "tests/support/temp_dir.h"
#include "tests/window/window_test_support.h"
#include "tools/synth/phantom.h"

namespace trevik::window::test {
namespace {

std::string savePhantom(const synth::PhantomPlan& p, const std::string& path) {
    synth::StudyPlan plan{.hr = 60, .division = 8, .images = 8 * p.views};
    plan.sample = synth::phantomSamples(p);
    return saveSource(plan, path);
}

TEST(SaveQc, TheQuestionBeforeSaveListsTheQualityControlsWarnings) {
    trevik::test::TempDir dir;
    WindowUnderTest w;
    w.select(savePhantom({.motionShift = 2, .motionView = 12}, dir.file("moved.prj")));
    w.desktop.confirmAnswers = {false};
    w.save(dir.file("moved.gsd"));
    ASSERT_EQ(w.desktop.questions.size(), 1u);
    const QString& question = w.desktop.questions[0];
    EXPECT_TRUE(question.startsWith(QStringLiteral("The quality control of the projections warns:\n\n"))) << question.toStdString();
    EXPECT_TRUE(question.contains(QStringLiteral("\nmotion: the heart shifts abruptly 2.0 pixels axially at view 12 ")))
        << question.toStdString();
    EXPECT_TRUE(question.endsWith(QStringLiteral("Save anyway? No returns to the window.")));
    EXPECT_EQ(w.desktop.outputDialogs, 0) << "No returns to the window";
    EXPECT_FALSE(std::filesystem::exists(dir.file("moved.gsd")));

    // Yes saves; a typed name beyond ASCII is asked about in the same box.
    w.form->edName->setText(QStringLiteral("山田"));
    w.save(dir.file("moved.gsd"));
    ASSERT_EQ(w.desktop.questions.size(), 2u);
    EXPECT_TRUE(w.desktop.questions[1].startsWith(QStringLiteral("The Gated SPECT data file holds ASCII letters only.")));
    EXPECT_TRUE(w.desktop.questions[1].contains(QStringLiteral("The quality control of the projections warns:")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("moved.gsd")));

    // A still study with its own texts: no question.
    WindowUnderTest still;
    still.select(savePhantom({}, dir.file("still.prj")));
    still.save(dir.file("still.gsd"));
    EXPECT_TRUE(still.desktop.questions.empty());
    EXPECT_TRUE(std::filesystem::exists(dir.file("still.gsd")));
}

}  // namespace
}  // namespace trevik::window::test
