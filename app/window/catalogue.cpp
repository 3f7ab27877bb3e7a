#include "app/window/catalogue.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QString>
#include <QTranslator>

namespace trevik::window {

bool loadCatalogue(QTranslator& translator, const QLocale& locale) {
    for (const QString& name : locale.uiLanguages()) {
        const QLocale language(name);
        if (language.language() == QLocale::English) return false;
        if (translator.load(language, QStringLiteral("trevik"), QStringLiteral("_"), QStringLiteral(":/i18n")))
            return true;
    }
    return false;
}

bool loadToolkitCatalogue(QTranslator& toolkit, const QTranslator& ours, const QString& directory) {
    const QString language = ours.language();
    if (language.isEmpty()) return false;
    const QString from = directory.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : directory;
    return toolkit.load(QLocale(language), QStringLiteral("qtbase"), QStringLiteral("_"), from);
}

}  // namespace trevik::window
