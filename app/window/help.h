// The Help button: the compiled help file where the desktop has a viewer for
// it, otherwise the same pages as plain HTML in the default browser (most
// Linux desktops have no viewer for compiled help). Help never waits for the
// desktop and never ends the window.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace trevik::window {

struct WindowSeams;

// The MIME type of compiled HTML help files.
inline constexpr const char kCompiledHelpType[] = "application/vnd.ms-htmlhelp";

// What Help opens in the program's directory `programDirectory`, given the
// desktop entry of the desktop's viewer for compiled help (empty when there
// is none): "trevik.chm" with a viewer, "help/index.html" without one.
QString helpFileFor(const QString& programDirectory, const QString& viewer);

// Starts `program` with `arguments` and returns without waiting for it.
// `answer` gets, exactly once, the first line of the program's standard
// output with the white space around it removed; an empty text when the
// program cannot be started, fails, or has not finished within `timeoutMs`
// (it is then killed).
void askProgram(const QString& program, const QStringList& arguments, int timeoutMs,
                std::function<void(const QString&)> answer);

// What the Help button does: asks the desktop for its viewer of compiled
// help, then opens the file helpFileFor chooses; opening failures are
// ignored, as nothing more can be done about them.
void showHelp(const WindowSeams& seams, const QString& programDirectory);

}  // namespace trevik::window
