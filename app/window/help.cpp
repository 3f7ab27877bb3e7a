#include "app/window/help.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <memory>
#include <utility>

#include "app/window/window_seams.h"

namespace trevik::window {

QString helpLanguage() {
    //: The language code of the help pages in this catalogue's language
    //: (help/CODE/ and trevik_CODE.chm); "en" for the English pages.
    const QString code = QCoreApplication::translate("trevik::window::Help", "en");
    const bool plain = !code.isEmpty() && code.size() <= 8 &&
                       std::all_of(code.begin(), code.end(), [](QChar c) { return c >= u'a' && c <= u'z'; });
    return plain ? code : QStringLiteral("en");
}

QString helpFileFor(const QString& programDirectory, const QString& viewer, const QString& language) {
    const bool english = language == QLatin1String("en");
    if (viewer.isEmpty())
        return programDirectory +
               (english ? QStringLiteral("/help/index.html") : QStringLiteral("/help/%1/index.html").arg(language));
    return programDirectory + (english ? QStringLiteral("/trevik.chm") : QStringLiteral("/trevik_%1.chm").arg(language));
}

void askProgram(const QString& program, const QStringList& arguments, int timeoutMs,
                std::function<void(const QString&)> answer) {
    // Owned by the application, so that a program still running when the
    // window ends is not left behind as a stray object.
    auto* process = new QProcess(QCoreApplication::instance());
    // Whichever comes first (the end, a failed start, the time limit)
    // answers; the others find the answer already taken.
    auto pending = std::make_shared<std::function<void(const QString&)>>(std::move(answer));
    const auto reply = [pending](const QString& text) {
        if (!*pending) return;
        const auto answerNow = std::exchange(*pending, nullptr);
        answerNow(text);
    };
    QObject::connect(process, &QProcess::finished, process,
                     [process, reply](int code, QProcess::ExitStatus status) {
                         const bool answered = status == QProcess::NormalExit && code == 0;
                         const QString out = QString::fromLocal8Bit(process->readAllStandardOutput());
                         reply(answered ? out.section(QLatin1Char('\n'), 0, 0).trimmed() : QString());
                         process->deleteLater();
                     });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, reply](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;  // a crash also ends in finished
        reply(QString());
        process->deleteLater();
    });
    // A killed program still reports its end, which then frees it.
    QTimer::singleShot(timeoutMs, process, [process, reply] {
        process->kill();
        reply(QString());
    });
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(program, arguments);
}

void openWith(const QString& opener, const QString& path, std::function<void(int)> done) {
    // No parent and no time limit: the opener may wait for the viewer (a
    // browser started in the foreground), and destroying a running QProcess
    // would kill it, so it is freed only once it has ended. One still
    // running when the window ends is left to run on.
    auto* process = new QProcess;
    auto pending = std::make_shared<std::function<void(int)>>(std::move(done));
    const auto reply = [pending](int status) {
        if (!*pending) return;
        const auto answerNow = std::exchange(*pending, nullptr);
        answerNow(status);
    };
    QObject::connect(process, &QProcess::finished, process, [process, reply](int code, QProcess::ExitStatus status) {
        reply(status == QProcess::NormalExit ? code : -1);
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, reply](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;  // a crash also ends in finished
        reply(-1);
        process->deleteLater();
    });
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(opener, {path});
}

QString helpFailureText(int status, const QString& pages) {
    const bool noMethod = status == -1 || status == kOpenerNoMethod || status == kOpenerActionFailed;
    return noMethod ? QCoreApplication::translate("trevik::window::Help",
                                                  "There is no program on this desktop to show the help. "
                                                  "Open %1 in a web browser.")
                          .arg(pages)
                    : QCoreApplication::translate("trevik::window::Help",
                                                  "The help could not be opened. Its pages are %1.")
                          .arg(pages);
}

void showHelp(const WindowSeams& seams, const QString& programDirectory, QWidget* parent) {
    const QString language = helpLanguage();
    const QString pages = helpFileFor(programDirectory, QString(), language);
    const auto open = [seams, programDirectory, language, pages,
                       window = QPointer<QWidget>(parent)](const QString& viewer) {
        if (!seams.openHelp) return;
        seams.openHelp(helpFileFor(programDirectory, viewer, language), [seams, pages, window](int status) {
            // A window already gone (the program is ending) shows nothing.
            if (status == 0 || !window || !seams.showError) return;
            seams.showError(window, helpFailureText(status, pages));
        });
    };
    if (seams.askHelpViewer)
        seams.askHelpViewer(open);
    else
        open(QString());
}

}  // namespace trevik::window
