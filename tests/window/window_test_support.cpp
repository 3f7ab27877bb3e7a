#include "tests/window/window_test_support.h"

#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <cstdlib>

namespace trevik::window::test {

namespace {

// The offscreen platform warns about every window it cannot size hint;
// everything else still reaches the test output.
QtMessageHandler toolkitHandler = nullptr;

void quietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.contains(QLatin1String("propagateSizeHints"))) return;
    if (toolkitHandler) toolkitHandler(type, context, message);
}

}  // namespace

QApplication& application() {
    static int argc = 1;
    static char name[] = "window_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        toolkitHandler = qInstallMessageHandler(quietOffscreen);
        return new QApplication(argc, argv);
    }();
    return *app;
}

namespace {

std::optional<QString> take(std::deque<QString>& answers) {
    if (answers.empty()) return std::nullopt;
    const QString answer = answers.front();
    answers.pop_front();
    if (answer.isNull()) return std::nullopt;
    return answer;
}

}  // namespace

WindowSeams FakeDesktop::seams() {
    WindowSeams s;
    s.chooseSource = [this](QWidget*) {
        ++sourceDialogs;
        return take(sourceAnswers);
    };
    s.chooseOutput = [this](QWidget*, const QString& proposed) {
        ++outputDialogs;
        proposedOutputs.push_back(proposed);
        return take(outputAnswers);
    };
    s.showError = [this](QWidget*, const QString& text) { errors.push_back(text); };
    s.chooseItem = [this](QWidget*, const QString&, const QString&, const QStringList& items) -> std::optional<int> {
        itemLists.push_back(items);
        const int answer = itemAnswers.empty() ? -1 : itemAnswers.front();
        if (!itemAnswers.empty()) itemAnswers.pop_front();
        if (answer < 0) return std::nullopt;
        return answer;
    };
    s.confirmTexts = [this](QWidget*, const QString& text) {
        questions.push_back(text);
        const bool yes = confirmAnswers.empty() || confirmAnswers.front();
        if (!confirmAnswers.empty()) confirmAnswers.pop_front();
        return yes;
    };
    s.askHelpViewer = [this](const std::function<void(const QString&)>& answer) { answer(helpViewer); };
    s.openHelp = [this](const QString& path, const std::function<void(int)>& done) {
        helpFiles.push_back(path);
        done(helpOpenStatus);
    };
    s.endProcess = [this](int code) { endCodes.push_back(code); };
    return s;
}

WindowUnderTest::WindowUnderTest() : study(std::make_unique<Study>()) {
    application();
    form = std::make_unique<TMainForm>(*study, inputPath, outputPath, desktop.seams());
    QApplication::setActiveWindow(form.get());
}

WindowUnderTest::~WindowUnderTest() = default;

void WindowUnderTest::select(const std::string& path) {
    desktop.sourceAnswers.push_back(QString::fromStdString(path));
    QTest::mouseClick(btIn(), Qt::LeftButton);
}

void WindowUnderTest::save(const std::string& path) {
    desktop.outputAnswers.push_back(QString::fromStdString(path));
    QTest::mouseClick(form->BtOK, Qt::LeftButton);
}

QToolButton* WindowUnderTest::btIn() const { return form->findChild<QToolButton*>(QStringLiteral("btIn")); }
QPushButton* WindowUnderTest::btHelp() const { return form->findChild<QPushButton*>(QStringLiteral("btHelp")); }

std::string saveSource(const synth::StudyPlan& plan, const std::string& path) {
    synth::buildStudy(plan).save(path);
    return path;
}

}  // namespace trevik::window::test
