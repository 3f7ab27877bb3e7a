// Reads the leading decimal number of a header value, one byte at a time, in
// bounded memory whatever the value's length. The accepted form, fixed and
// independent of any locale: white space (0x09 to 0x0D, 0x20), an optional
// sign, digits with an optional point (".5" and "7." are numbers, "." is
// not), then an optional exponent ("e" or "E", an optional sign, at least
// one digit; an exponent without digits is not part of the number). Words
// such as "inf" and "nan", hexadecimal forms and numbers beyond the range
// of a double are not numbers; a value without a leading number gives 0.0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trevik {

class DecimalScanner {
public:
    // Offers the next byte of the value; false once the number can no longer
    // continue (that byte and all later ones are not part of it).
    bool feed(unsigned char c);
    // The number read so far, correctly rounded, or 0.0.
    double value() const;

private:
    enum class State { Space, Sign, Integer, Point, Fraction, ExponentMark, ExponentSign, ExponentDigits, Done };
    // Enough significant digits to round any decimal to the nearest double;
    // anything beyond only matters as "some non-zero digit follows".
    static constexpr std::size_t kMaxDigits = 800;

    void addDigit(int d, bool fraction);

    State state_ = State::Space;
    bool negative_ = false;
    bool mantissaDigit_ = false;  // at least one digit before the exponent
    bool sticky_ = false;         // a dropped significant digit was non-zero
    char digits_[kMaxDigits] = {};
    std::size_t count_ = 0;       // significant digits kept, the first non-zero
    std::int64_t scale_ = 0;      // value = 0.digits x 10^(scale_ + exponent)
    bool exponentNegative_ = false;
    bool exponentDigit_ = false;  // the exponent has a digit and so counts
    std::int64_t exponent_ = 0;
};

}  // namespace trevik
