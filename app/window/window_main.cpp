// The window program: one window over the application's single study and its
// source and output paths. A single argument (after an optional "--") names
// a source to open at once, as Select would; other arguments are ignored.
// Exit codes: those of the handlers (a failed load 1, 2, 4 or 8 after its
// error box; a completed Save 0; Cancel or Esc -1), 0 when the window is
// closed otherwise, 1 when no window can be shown at all. A failed Save
// shows why and leaves the window open.

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/window/catalogue.h"
#include "app/window/display_check.h"
#include "app/window/main_form.h"
#include "study/study.h"

#ifdef TREVIK_WINDOW_DICOM
#include "dicom/dictionary.h"
#endif

namespace {

// The state of the one conversion this process makes: all zero at start.
trevik::Study study;
trevik::PathBuffer inputPath;
trevik::PathBuffer outputPath;

// While the toolkit starts, its fatal errors (no platform plugin, no
// display) end the run with one line and exit code 1 instead of an abort;
// its warnings are kept back and the last one joins that line.
QString startupWarning;

void startupMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    const QString firstLine = message.section(QLatin1Char('\n'), 0, 0);
    if (type != QtFatalMsg) {
        startupWarning = firstLine;
        return;
    }
    QString line = firstLine;
    if (!startupWarning.isEmpty()) line += QStringLiteral(" (") + startupWarning + QLatin1Char(')');
    std::fprintf(stderr, "trevik-window: the window system cannot be started: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef TREVIK_WINDOW_DICOM
    // DCMTK's dictionary from the compiled table (as trevik-dicom's).
    trevik::dicom::useCompiledDictionary();
#endif
    std::string why;
    if (!trevik::window::displayAvailable(why)) {
        std::fprintf(stderr, "trevik-window: %s\n", why.c_str());
        return 1;
    }

    const QtMessageHandler previous = qInstallMessageHandler(startupMessages);
    // The program ignores its arguments, also those the toolkit would read.
    int toolkitArgc = 1;
    char* toolkitArgv[] = {argv[0], nullptr};
    QApplication application(toolkitArgc, toolkitArgv);
    qInstallMessageHandler(previous);
    // The application's name, not its display name: the desktop would append
    // a display name to the window's caption.
    QApplication::setApplicationName(QString::fromUtf8(trevik::window::kApplicationTitle));
    // The error boxes in the user's interface language where there is a
    // catalogue for it, English otherwise.
    // The toolkit's own texts follow in the same language.
    QTranslator catalogue;
    QTranslator toolkitCatalogue;
    if (trevik::window::loadCatalogue(catalogue, QLocale::system())) {
        QApplication::installTranslator(&catalogue);
        if (trevik::window::loadToolkitCatalogue(toolkitCatalogue, catalogue))
            QApplication::installTranslator(&toolkitCatalogue);
    }
    trevik::window::TMainForm form(study, inputPath, outputPath, trevik::window::platformSeams());
    // A file named on the command line is opened once the window is up, as
    // a Select would open it: a failed load shows its box over the window.
    const int first = argc > 1 && std::strcmp(argv[1], "--") == 0 ? 2 : 1;
    if (argc - first == 1) {
        const QString file = QFileInfo(QFile::decodeName(argv[first])).absoluteFilePath();
        QMetaObject::invokeMethod(&form, [&form, file] { form.openSource(file); }, Qt::QueuedConnection);
    }
    return application.exec();
}
