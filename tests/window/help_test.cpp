// Help: the compiled file only where the desktop has a viewer for it, the
// plain pages otherwise; asking the desktop never holds the window up.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

#include <vector>

#include "app/window/help.h"
#include "tests/window/window_test_support.h"

namespace trevik::window::test {
namespace {

TEST(Help, OpensThePlainPagesWhereTheDesktopHasNoViewerForCompiledHelp) {
    WindowUnderTest w;
    w.desktop.helpViewer = QString();
    QTest::mouseClick(w.btHelp(), Qt::LeftButton);
    ASSERT_EQ(w.desktop.helpFiles.size(), 1u);
    EXPECT_EQ(w.desktop.helpFiles[0], QCoreApplication::applicationDirPath() + QStringLiteral("/help/index.html"));
    EXPECT_TRUE(w.desktop.errors.empty());
    EXPECT_TRUE(w.desktop.endCodes.empty());
    EXPECT_TRUE(w.form->isVisible());
}

TEST(Help, AsksTheDesktopWithoutWaitingAndAnswersOnce) {
    application();
    struct Case {
        QString program;
        QStringList arguments;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"sh", {"-c", "echo '  xchm.desktop '; echo other.desktop"}, "xchm.desktop"},
        {"sh", {"-c", "echo xchm.desktop; exit 3"}, ""},
        {"/nonexistent/xdg-mime", {}, ""},
        {"sleep", {"30"}, ""},  // killed at the time limit
    };
    for (const Case& c : cases) {
        std::vector<QString> answers;
        QElapsedTimer clock;
        clock.start();
        askProgram(c.program, c.arguments, 3000, [&answers](const QString& a) { answers.push_back(a); });
        EXPECT_LT(clock.elapsed(), 1500) << c.program.toStdString();
        while (answers.empty() && clock.elapsed() < 10000) QTest::qWait(10);
        QTest::qWait(100);  // no second answer follows
        EXPECT_EQ(answers, std::vector<QString>{c.expected}) << c.arguments.join(' ').toStdString();
    }
}

}  // namespace
}  // namespace trevik::window::test
