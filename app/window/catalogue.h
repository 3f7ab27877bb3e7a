// The translations of the window's error-box texts, built into the program.
// The texts are English in the code; a catalogue replaces them for another
// user interface language (Japanese).
#pragma once

class QLocale;
class QTranslator;

namespace trevik::window {

// Loads into `translator` the catalogue for the user interface languages of
// `locale`, taken in the order of preference: the first that is English or
// has a catalogue decides. False when the texts stay English.
bool loadCatalogue(QTranslator& translator, const QLocale& locale);

}  // namespace trevik::window
