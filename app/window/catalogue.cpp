#include "app/window/catalogue.h"

#include <QLocale>
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

}  // namespace trevik::window
