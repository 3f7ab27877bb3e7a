// The value forms of DICOM that the study's facts pass through, both ways:
// DA and TM against the record's date and time texts, PN's alphabetic
// group, DS and IS numbers as texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trevik::dicom {

// "YYYY.MM.DD" as a DA value "YYYYMMDD"; nothing for any other text or a
// day that does not exist.
std::optional<std::string> dateValue(std::string_view text);
// "HH:MM:SS" as a TM value "HHMMSS"; nothing for any other text.
std::optional<std::string> timeValue(std::string_view text);

// A DA value "YYYYMMDD" (or the older "YYYY.MM.DD") as the record keeps a
// date, "YYYY.MM.DD"; empty for any other text.
std::string recordDate(std::string_view da);
// A TM value "HHMMSS.FFFFFF" (or "HH:MM:SS") as "HH:MM:SS"; missing
// minutes and seconds are 00, fractions are dropped; empty for any other text.
std::string recordTime(std::string_view tm);

// The alphabetic group of a PN value, without its empty trailing components
// ("SMITH^^^=..." is "SMITH").
std::string alphabeticGroup(std::string_view pn);

// A DS value: the shortest of the usual forms that fits 16 characters;
// empty for a number that is not finite.
std::string decimalValue(double value);
// An IS value.
std::string integerValue(long long value);

// A value without its padding: trailing spaces and zero bytes, leading spaces.
std::string trimmed(std::string_view value);

}  // namespace trevik::dicom
