// The Help button: the compiled help file where the desktop has a viewer for
// it, otherwise the same pages as plain HTML in the default browser (most
// Linux desktops have no viewer for compiled help). When the desktop has no
// way to open either, a box names the HTML pages' path, so that the user can
// open them some other way. Help never waits for the desktop and never ends
// the window.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace trevik::window {

struct WindowSeams;

// The MIME type of compiled HTML help files.
inline constexpr const char kCompiledHelpType[] = "application/vnd.ms-htmlhelp";

// The language of the help pages that go with the interface language: the
// code the translation catalogue gives ("ja" under a Japanese interface),
// "en" without a catalogue.
QString helpLanguage();

// What Help opens in the program's directory `programDirectory`, given the
// desktop entry of the desktop's viewer for compiled help (empty when there
// is none): "trevik.chm" with a viewer, "help/index.html" without one; in
// another `language` than English "trevik_ja.chm" and "help/ja/index.html".
QString helpFileFor(const QString& programDirectory, const QString& viewer,
                    const QString& language = QStringLiteral("en"));

// Starts `program` with `arguments` and returns without waiting for it.
// `answer` gets, exactly once, the first line of the program's standard
// output with the white space around it removed; an empty text when the
// program cannot be started, fails, or has not finished within `timeoutMs`
// (it is then killed).
void askProgram(const QString& program, const QStringList& arguments, int timeoutMs,
                std::function<void(const QString&)> answer);

// Exit codes of the desktop's opener (xdg-open) that mean it found no
// application for the file.
inline constexpr int kOpenerNoMethod = 3;
inline constexpr int kOpenerActionFailed = 4;

// Starts `opener` on `path` and returns without waiting. `done` gets, once,
// the opener's exit code when it ends (-1 when it cannot be started or
// crashes). The opener may wait for the viewer it starts; it is left running
// when the window ends, and its standard error stays the window's.
void openWith(const QString& opener, const QString& path, std::function<void(int status)> done);

// The error box's text when Help could not be opened: the desktop's opener
// ended with `status`; `pages` is the path of the HTML help.
QString helpFailureText(int status, const QString& pages);

// What the Help button does: asks the desktop for its viewer of compiled
// help, then opens the file helpFileFor chooses in the helpLanguage. When the desktop cannot
// open it, a box over `parent` (while it exists) names the HTML pages.
void showHelp(const WindowSeams& seams, const QString& programDirectory, QWidget* parent);

}  // namespace trevik::window
