// What the window tests share: one application object for the process, a
// stand-in desktop that answers the dialogs and records what the window asked
// of it, and a window over a fresh study.
#pragma once

#include <QApplication>
#include <QString>

#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/window/main_form.h"
#include "study/study.h"
#include "tools/synth/source_file.h"

class QPushButton;
class QToolButton;

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace trevik::window::test {

// The application object, created on first use on the offscreen platform.
QApplication& application();

// Answers the dialogs from queues (an empty queue or a null QString is a
// cancel) and records
// the errors shown, the help files opened and the exit codes asked for.
struct FakeDesktop {
    std::deque<QString> sourceAnswers;
    std::deque<QString> outputAnswers;
    int sourceDialogs = 0;
    int outputDialogs = 0;
    std::vector<QString> proposedOutputs;  // what each save dialog was opened on
    std::vector<QString> errors;
    // The index chosen in each list dialog (-1, or an empty queue: cancel),
    // and the items each one listed.
    std::deque<int> itemAnswers;
    std::vector<QStringList> itemLists;
    // Each question box before Save: Yes or No (an empty queue: Yes), and
    // what each one said.
    std::deque<bool> confirmAnswers;
    std::vector<QString> questions;
    // The desktop's viewer of compiled help, as it answers when asked.
    QString helpViewer = QStringLiteral("xchm.desktop");
    std::vector<QString> helpFiles;
    // The exit code of the desktop's opener for every help file opened.
    int helpOpenStatus = 0;
    std::vector<int> endCodes;

    WindowSeams seams();
};

// A window over its own all-zero study and empty paths, as at start.
struct WindowUnderTest {
    WindowUnderTest();
    ~WindowUnderTest();

    // Chooses `path` in the open dialog and clicks Select.
    void select(const std::string& path);
    // Chooses `path` in the save dialog and clicks Save.
    void save(const std::string& path);
    // The Select and Help buttons, which the window keeps no pointer to.
    QToolButton* btIn() const;
    QPushButton* btHelp() const;

    FakeDesktop desktop;
    std::unique_ptr<Study> study;
    PathBuffer inputPath{};
    PathBuffer outputPath{};
    std::unique_ptr<TMainForm> form;
};

std::string saveSource(const synth::StudyPlan& plan, const std::string& path);

}  // namespace trevik::window::test
