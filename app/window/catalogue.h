// The translations of the window's error-box texts, built into the program.
// The texts are English in the code; a catalogue replaces them for another
// user interface language (Japanese). The toolkit's own texts (file
// dialogs, standard buttons) come from its catalogue of the same language,
// installed with the toolkit's translations.
#pragma once

#include <QString>

class QLocale;
class QTranslator;

namespace trevik::window {

// Loads into `translator` the catalogue for the user interface languages of
// `locale`, taken in the order of preference: the first that is English or
// has a catalogue decides. False when the texts stay English.
bool loadCatalogue(QTranslator& translator, const QLocale& locale);

// Loads into `toolkit` the toolkit's own catalogue (qtbase) for the language
// of `ours`, a catalogue loadCatalogue filled, from `directory` (the
// toolkit's translations directory by default). False when there is none.
bool loadToolkitCatalogue(QTranslator& toolkit, const QTranslator& ours, const QString& directory = QString());

}  // namespace trevik::window
