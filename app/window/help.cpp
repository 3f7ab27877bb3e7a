#include "app/window/help.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

#include <memory>
#include <utility>

#include "app/window/window_seams.h"

namespace trevik::window {

QString helpFileFor(const QString& programDirectory, const QString& viewer) {
    return programDirectory + (viewer.isEmpty() ? QStringLiteral("/help/index.html") : QStringLiteral("/trevik.chm"));
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

void showHelp(const WindowSeams& seams, const QString& programDirectory) {
    const auto open = [openHelp = seams.openHelp, programDirectory](const QString& viewer) {
        if (openHelp) openHelp(helpFileFor(programDirectory, viewer));
    };
    if (seams.askHelpViewer)
        seams.askHelpViewer(open);
    else
        open(QString());
}

}  // namespace trevik::window
