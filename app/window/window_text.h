// Conversions between the study record and the text the window shows:
// numbers in the user's locale, record texts decoded (UTF-8, else the
// camera's CP932), typed texts as the ASCII the Gated SPECT data file holds.
#pragma once

#include <QString>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace trevik::window {

// A double in the general form with at most 15 significant digits, no
// trailing zeros and no trailing separator, with `decimalPoint` in place of
// the period: 6.4 -> "6.4", 0 -> "0", 1e-7 -> "1e-07".
QString floatText(double value, const QString& decimalPoint);

// Reads a height or weight typed by the user. Accepted: spaces (0x20), an
// optional sign, digits with an optional `decimalPoint` and further digits
// (or the separator and at least one digit), an optional exponent ("E" or
// "e", an optional sign, at least one digit), spaces, nothing else. The
// number is read at extended precision and narrowed to the nearest float;
// a magnitude beyond the float range is no number. nullopt when the text
// is not a number.
std::optional<float> parseFloat(const QString& text, const QString& decimalPoint);

// The UTF-8 bytes of `text`, cut to at most `maxBytes` bytes without
// splitting a character.
std::string utf8Cut(const QString& text, std::size_t maxBytes);

// A record text as the window shows it: ASCII as it stands, valid UTF-8 as
// UTF-8, anything else decoded as CP932 (Shift-JIS with the Windows
// extensions, the camera's code page, through iconv), a byte that does not
// decode as U+FFFD.
QString recordText(std::string_view bytes);

// The texts the window lets the user type.
enum class TextField { Id, Name, Tracer, Comment };

// The record bytes for `text` typed into the box of `field`: ASCII text as
// typed; any other text as the ASCII a clinic reads: the name readableName
// (kana romanised), the ID readableIdentifier, tracer and comment
// romanisedAscii. Cut to `maxBytes`.
std::string typedBytes(TextField field, const QString& text, std::size_t maxBytes);

// Whether `text` holds a character the Gated SPECT data file cannot hold
// (one beyond ASCII).
bool beyondAscii(const QString& text);

// The value the Gated SPECT data file gets for the record text `bytes`:
// at most 79 bytes, every byte outside 0x21..0x7E and ";" written "_".
QString writtenToken(std::string_view bytes);

// The output name the save dialog proposes for `source`: the same folder
// and name with the last extension replaced by ".gsd" ("a.b.prj" gives
// "a.b.gsd"), ".gsd" added to a name without one. A leading dot starts a
// name, not an extension. `suffix` goes before ".gsd" ("-ew2": the energy
// window chosen out of several, as trevik-dicom import names its files).
QString proposedOutputPath(const QString& source, const QString& suffix = QString());

// The text the standard error box shows for `message`: a full stop is added
// when the message ends in a character that sorts above the full stop.
QString errorBoxText(const QString& message);

}  // namespace trevik::window
