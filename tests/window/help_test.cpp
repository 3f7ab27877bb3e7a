// Help: the compiled file only where the desktop has a viewer for it, the
// plain pages otherwise; asking the desktop never holds the window up.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "app/window/help.h"
#include "tests/support/temp_dir.h"
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

TEST(Help, NoWayToOpenItNamesTheHtmlPagesInABox) {
    const QString pages = QCoreApplication::applicationDirPath() + QStringLiteral("/help/index.html");
    const QString noMethod = QStringLiteral("There is no program on this desktop to show the help. Open %1 in a web browser.").arg(pages);
    const QString failed = QStringLiteral("The help could not be opened. Its pages are %1.").arg(pages);
    // The opener's exit code: 3 and 4 (no application), -1 (no opener at
    // all), another failure, success; with and without a viewer of compiled help.
    const struct {
        int status;
        QString viewer;
        std::vector<QString> errors;
    } cases[] = {{3, "", {noMethod}},     {4, "xchm.desktop", {noMethod}}, {-1, "", {noMethod}},
                 {2, "", {failed}},       {0, "", {}},                     {0, "xchm.desktop", {}}};
    for (const auto& c : cases) {
        WindowUnderTest w;
        w.desktop.helpViewer = c.viewer;
        w.desktop.helpOpenStatus = c.status;
        QTest::mouseClick(w.btHelp(), Qt::LeftButton);
        EXPECT_EQ(w.desktop.helpFiles.size(), 1u);
        EXPECT_EQ(w.desktop.errors, c.errors) << c.status;
        EXPECT_TRUE(w.desktop.endCodes.empty());
        EXPECT_TRUE(w.form->isVisible());
    }

    // An answer that comes after the window has gone shows nothing.
    std::function<void(int)> late;
    std::vector<QString> errors;
    {
        WindowUnderTest w;
        WindowSeams seams = w.desktop.seams();
        seams.openHelp = [&late](const QString&, std::function<void(int)> done) { late = std::move(done); };
        seams.showError = [&errors](QWidget*, const QString& text) { errors.push_back(text); };
        showHelp(seams, QStringLiteral("/p"), w.form.get());
    }
    ASSERT_TRUE(late);
    late(3);
    EXPECT_TRUE(errors.empty());
}

TEST(Help, TheOpenerIsWatchedWithoutWaitingAndAnswersOnceWithItsExitCode) {
    application();
    trevik::test::TempDir dir;
    const auto script = [&dir](const std::string& name, const std::string& body) {
        const std::string path = dir.file(name);
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return QString::fromStdString(path);
    };
    const struct {
        QString opener;
        int expected;
    } cases[] = {
        {script("no-method", "exit 3"), 3},
        // Takes its time, as a browser started in the foreground does, and
        // gets the path as its one argument.
        {script("slow", "sleep 1; [ \"$#:$1\" = '1:/help path/index.html' ] && exit 0; exit 9"), 0},
        {QString::fromStdString(dir.file("missing-opener")), -1},
        {script("crash", "kill -SEGV $$"), -1},
    };
    for (const auto& c : cases) {
        std::vector<int> answers;
        QElapsedTimer clock;
        clock.start();
        openWith(c.opener, QStringLiteral("/help path/index.html"), [&answers](int status) { answers.push_back(status); });
        EXPECT_LT(clock.elapsed(), 500) << c.opener.toStdString();
        while (answers.empty() && clock.elapsed() < 10000) QTest::qWait(10);
        QTest::qWait(100);  // no second answer follows
        EXPECT_EQ(answers, std::vector<int>{c.expected}) << c.opener.toStdString();
    }
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
