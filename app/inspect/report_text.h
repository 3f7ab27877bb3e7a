// The text of the inspection's reports: numbers without the locale, padded
// columns, tags, escaped bytes; and the TSV line of a file.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "study/status.h"

namespace trevik::inspect {

// Report text; numbers go through std::to_chars, never through the locale.
class Text {
public:
    Text& operator<<(std::string_view s) {
        out_.append(s);
        return *this;
    }
    template <std::integral T>
        requires(!std::same_as<T, char> && !std::same_as<T, bool>)
    Text& operator<<(T value) {
        appendInteger(static_cast<long long>(value));
        return *this;
    }
    Text& operator<<(double value);
    std::string& str() { return out_; }

private:
    void appendInteger(long long value);
    std::string out_;
};

template <typename T>
std::string toText(T value) {
    Text t;
    t << value;
    return std::move(t.str());
}

std::string padLeft(std::string s, std::size_t width);
std::string padRight(std::string s, std::size_t width);
std::string quoted(std::string_view bytes);
std::string plural(long long count, std::string_view one, std::string_view many);

}  // namespace trevik::inspect
