// Help: the compiled file only where the desktop has a viewer for it, the
// plain pages otherwise; asking the desktop never holds the window up.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <QTranslator>

#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "app/window/catalogue.h"
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

TEST(Help, UnderAJapaneseInterfaceTheJapanesePagesOpen) {
    application();
    QTranslator japanese;
    ASSERT_TRUE(loadCatalogue(japanese, QLocale(QLocale::Japanese, QLocale::Japan)));
    QCoreApplication::installTranslator(&japanese);
    EXPECT_EQ(helpLanguage(), QStringLiteral("ja"));
    const QString folder = QCoreApplication::applicationDirPath();
    for (const QString& viewer : {QString(), QStringLiteral("xchm.desktop")}) {
        WindowUnderTest w;
        w.desktop.helpViewer = viewer;
        w.desktop.helpOpenStatus = 3;
        QTest::mouseClick(w.btHelp(), Qt::LeftButton);
        EXPECT_EQ(w.desktop.helpFiles,
                  std::vector<QString>{folder + (viewer.isEmpty() ? QStringLiteral("/help/ja/index.html")
                                                                  : QStringLiteral("/trevik_ja.chm"))});
        // The box names the Japanese pages, in Japanese.
        ASSERT_EQ(w.desktop.errors.size(), 1u);
        EXPECT_TRUE(w.desktop.errors[0].contains(folder + QStringLiteral("/help/ja/index.html")));
        EXPECT_FALSE(w.desktop.errors[0].contains(QStringLiteral("There is no program")));
    }
    QCoreApplication::removeTranslator(&japanese);
    EXPECT_EQ(helpLanguage(), QStringLiteral("en"));
}

TEST(Help, NoWayToOpenItNamesTheHtmlPagesInABoxWhileTheWindowLasts) {
    QString pages;
    // The opener's exit code: 3 or 4 no application, -1 no opener, 2 another failure.
    for (const int status : {3, 4, -1, 2, 0}) {
        WindowUnderTest w;  // the application object, and so its folder, exist from here on
        pages = QCoreApplication::applicationDirPath() + QStringLiteral("/help/index.html");
        w.desktop.helpOpenStatus = status;
        QTest::mouseClick(w.btHelp(), Qt::LeftButton);
        EXPECT_EQ(w.desktop.errors, status == 0 ? std::vector<QString>{}
                                                : std::vector<QString>{helpFailureText(status, pages)});
        EXPECT_TRUE(w.desktop.endCodes.empty());
    }
    EXPECT_EQ(helpFailureText(3, pages), QStringLiteral("There is no program on this desktop to show the help. "
                                                        "Open %1 in a web browser.").arg(pages));
    EXPECT_EQ(helpFailureText(4, pages), helpFailureText(-1, pages));
    EXPECT_EQ(helpFailureText(2, pages), QStringLiteral("The help could not be opened. Its pages are %1.").arg(pages));
    std::function<void(int)> late;  // an answer after the window has gone shows nothing
    std::vector<QString> errors;
    {
        WindowUnderTest w;
        WindowSeams seams = w.desktop.seams();
        seams.openHelp = [&late](const QString&, std::function<void(int)> done) { late = std::move(done); };
        seams.showError = [&errors](QWidget*, const QString& text) { errors.push_back(text); };
        showHelp(seams, QStringLiteral("/p"), w.form.get());
    }
    late(3);
    EXPECT_TRUE(errors.empty());
}

TEST(Help, TheOpenerIsWatchedWithoutWaitingAndAnswersOnceWithItsExitCode) {
    application();
    trevik::test::TempDir dir;
    std::ofstream(dir.file("slow")) << "#!/bin/sh\nsleep 1; [ \"$#:$1\" = '1:/a b' ] && exit 3\n";
    ::chmod(dir.file("slow").c_str(), 0755);
    for (const auto& [opener, expected] : {std::pair{dir.file("slow"), 3}, std::pair{dir.file("none"), -1}}) {
        std::vector<int> answers;
        QElapsedTimer clock;
        clock.start();
        openWith(QString::fromStdString(opener), QStringLiteral("/a b"), [&answers](int s) { answers.push_back(s); });
        EXPECT_LT(clock.elapsed(), 500);
        while (answers.empty() && clock.elapsed() < 10000) QTest::qWait(10);
        QTest::qWait(100);
        EXPECT_EQ(answers, std::vector<int>{expected}) << opener;
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
