#include "reader/projection/decimal_text.h"

#include <charconv>
#include <system_error>

namespace trevik {

namespace {
bool isSpace(unsigned char c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
// Exponents far beyond the range of a double are all alike; clamping keeps
// the arithmetic bounded.
constexpr std::int64_t kExponentClamp = 100000000;
}  // namespace

void DecimalScanner::addDigit(int d, bool fraction) {
    mantissaDigit_ = true;
    if (count_ == 0 && d == 0) {
        // Leading zeros carry no digit; after the point they shift the scale.
        if (fraction) --scale_;
        return;
    }
    if (!fraction && scale_ < kExponentClamp) ++scale_;
    if (count_ < kMaxDigits)
        digits_[count_++] = static_cast<char>('0' + d);
    else if (d != 0)
        sticky_ = true;
}

bool DecimalScanner::feed(unsigned char c) {
    switch (state_) {
    case State::Space:
        if (isSpace(c)) return true;
        if (c == '+' || c == '-') {
            negative_ = c == '-';
            state_ = State::Sign;
            return true;
        }
        [[fallthrough]];
    case State::Sign:
        if (isDigit(c)) {
            addDigit(c - '0', false);
            state_ = State::Integer;
            return true;
        }
        if (c == '.') {
            state_ = State::Point;
            return true;
        }
        break;
    case State::Integer:
        if (isDigit(c)) {
            addDigit(c - '0', false);
            return true;
        }
        if (c == '.') {
            state_ = State::Fraction;
            return true;
        }
        if (c == 'e' || c == 'E') {
            state_ = State::ExponentMark;
            return true;
        }
        break;
    case State::Point:  // a point with no digit before it needs one after it
    case State::Fraction:
        if (isDigit(c)) {
            addDigit(c - '0', true);
            state_ = State::Fraction;
            return true;
        }
        if (state_ == State::Fraction && (c == 'e' || c == 'E')) {
            state_ = State::ExponentMark;
            return true;
        }
        break;
    case State::ExponentMark:
        if (c == '+' || c == '-') {
            exponentNegative_ = c == '-';
            state_ = State::ExponentSign;
            return true;
        }
        [[fallthrough]];
    case State::ExponentSign:
    case State::ExponentDigits:
        if (isDigit(c)) {
            if (exponent_ < kExponentClamp) exponent_ = exponent_ * 10 + (c - '0');
            exponentDigit_ = true;
            state_ = State::ExponentDigits;
            return true;
        }
        break;
    case State::Done:
        break;
    }
    state_ = State::Done;
    return false;
}

double DecimalScanner::value() const {
    if (!mantissaDigit_) return 0.0;
    if (count_ == 0) return negative_ ? -0.0 : 0.0;
    std::int64_t power = scale_;
    if (exponentDigit_) power += exponentNegative_ ? -exponent_ : exponent_;
    // A double lies between about 4.9e-324 and 1.8e308; anything far outside
    // is decided here, the rest by from_chars on the normalised digits.
    if (power > 400 || power < -400) return 0.0;
    char text[kMaxDigits + 16];
    std::size_t n = 0;
    text[n++] = '0';
    text[n++] = '.';
    for (std::size_t i = 0; i < count_; ++i) text[n++] = digits_[i];
    if (sticky_) text[n++] = '1';
    text[n++] = 'e';
    const auto tail = std::to_chars(text + n, text + sizeof text, power);
    double result = 0.0;
    const auto parsed = std::from_chars(text, tail.ptr, result);
    if (parsed.ec != std::errc{}) return 0.0;
    return negative_ ? -result : result;
}

}  // namespace trevik
