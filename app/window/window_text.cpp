#include "app/window/window_text.h"

#include <QByteArray>

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>

#include "study/names.h"
#include "writer/gsd/gsd_format.h"

namespace trevik::window {

QString floatText(double value, const QString& decimalPoint) {
    // The "%.15g" form, whatever the C library's locale.
    char buffer[40];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    QString text = QString::fromLatin1(buffer, error == std::errc{} ? end - buffer : 0);
    text.replace(QLatin1Char('.'), decimalPoint);
    return text;
}

std::optional<float> parseFloat(const QString& text, const QString& decimalPoint) {
    // Rebuilt with a period so that the conversion does not depend on the
    // C library's locale.
    std::string number;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto isDigit = [&](qsizetype k) { return k < n && text[k] >= QLatin1Char('0') && text[k] <= QLatin1Char('9'); };

    while (i < n && text[i] == QLatin1Char(' ')) ++i;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        if (text[i] == QLatin1Char('-')) number += '-';
        ++i;
    }
    int digits = 0;
    while (isDigit(i)) {
        number += static_cast<char>(text[i++].unicode());
        ++digits;
    }
    if (!decimalPoint.isEmpty() && QStringView(text).mid(i).startsWith(decimalPoint)) {
        i += decimalPoint.size();
        number += '.';
        while (isDigit(i)) {
            number += static_cast<char>(text[i++].unicode());
            ++digits;
        }
    }
    if (digits == 0) return std::nullopt;
    if (i < n && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        number += 'e';
        ++i;
        if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
            number += static_cast<char>(text[i++].unicode());
        if (!isDigit(i)) return std::nullopt;
        while (isDigit(i)) number += static_cast<char>(text[i++].unicode());
    }
    while (i < n && text[i] == QLatin1Char(' ')) ++i;
    if (i != n) return std::nullopt;

    long double value = 0;
    const char* first = number.data();
    const char* last = first + number.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (end != last) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        // Too large even for extended precision, or so small that it is zero
        // in every precision. Tell them apart by the order of magnitude.
        const std::size_t e = number.find('e');
        const std::string mantissa = number.substr(0, e);
        long long exponent = 0;
        if (e != std::string::npos) {
            const char* x = number.data() + e + 1;
            if (*x == '+') ++x;
            // An exponent beyond long long is clamped: only its sign matters.
            if (std::from_chars(x, number.data() + number.size(), exponent).ec != std::errc())
                exponent = *x == '-' ? std::numeric_limits<long long>::min() / 2
                                     : std::numeric_limits<long long>::max() / 2;
        }
        // Position of the first significant digit relative to the period.
        const std::size_t point = mantissa.find('.');
        const std::size_t intDigits = (point == std::string::npos ? mantissa.size() : point) -
                                      (mantissa[0] == '-' ? 1 : 0);
        const std::size_t firstSignificant = mantissa.find_first_of("123456789");
        const long long magnitude =
            firstSignificant == std::string::npos ? 0
            : point == std::string::npos || firstSignificant < point
                ? static_cast<long long>(intDigits)
                : -static_cast<long long>(firstSignificant - point - 1);
        if (exponent + magnitude > 0) return std::nullopt;
        return mantissa[0] == '-' ? -0.0f : 0.0f;
    }
    if (error != std::errc()) return std::nullopt;
    const float narrowed = static_cast<float>(value);
    if (std::isinf(narrowed)) return std::nullopt;
    return narrowed;
}

std::string utf8Cut(const QString& text, std::size_t maxBytes) {
    const QByteArray bytes = text.toUtf8();
    std::size_t size = static_cast<std::size_t>(bytes.size());
    if (size <= maxBytes) return std::string(bytes.constData(), size);
    size = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the
    // character that did not fit.
    while (size > 0 && (static_cast<unsigned char>(bytes[static_cast<qsizetype>(size)]) & 0xC0) == 0x80) --size;
    return std::string(bytes.constData(), size);
}

namespace {

bool isAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether `bytes` read as UTF-8, a character cut off by the end of its
// field included (the record cuts texts at a byte count).
bool isUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t more = lead < 0x80                      ? 0
                                 : lead >= 0xC2 && lead <= 0xDF ? 1
                                 : lead >= 0xE0 && lead <= 0xEF ? 2
                                 : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                                : 4;
        if (more == 4) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            if (i + k == bytes.size()) return true;
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        }
        i += more + 1;
    }
    return true;
}

// `bytes` decoded from CP932 by glibc's iconv; each byte that does not
// decode (or a character cut off by the end) becomes U+FFFD.
QString fromCp932(std::string_view bytes) {
    iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        QString text;
        for (const char c : bytes) text += static_cast<unsigned char>(c) < 0x80 ? QChar(c) : QChar(0xFFFD);
        return text;
    }
    std::string input(bytes), out;
    char* in = input.data();
    std::size_t inLeft = input.size();
    char buffer[256];
    while (inLeft > 0) {
        char* o = buffer;
        std::size_t oLeft = sizeof buffer;
        const std::size_t r = ::iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buffer, static_cast<std::size_t>(o - buffer));
        if (r != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        out += "\xEF\xBF\xBD";
        ++in;
        --inLeft;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    ::iconv_close(cd);
    return QString::fromStdString(out);
}

}  // namespace

QString recordText(std::string_view bytes) {
    const auto size = static_cast<qsizetype>(bytes.size());
    if (isAscii(bytes)) return QString::fromLatin1(bytes.data(), size);
    if (isUtf8(bytes)) return QString::fromUtf8(bytes.data(), size);
    return fromCp932(bytes);
}

std::string typedBytes(TextField field, const QString& text, std::size_t maxBytes) {
    if (!beyondAscii(text)) return utf8Cut(text, maxBytes);
    const QByteArray utf8 = text.toUtf8();
    const std::string_view typed(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    std::string ascii = field == TextField::Name ? readableName(typed)
                        : field == TextField::Id ? readableIdentifier(typed)
                                                 : romanisedAscii(typed);
    if (ascii.size() > maxBytes) ascii.resize(maxBytes);
    return ascii;
}

bool beyondAscii(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x80; });
}

QString writtenToken(std::string_view bytes) {
    char copy[80];
    char clean[80];
    copyText(copy, bytes);
    sanitizeText(copy, clean);
    return QString::fromLatin1(clean);
}

QString proposedOutputPath(const QString& source, const QString& suffix) {
    const qsizetype nameStart = source.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = source.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > nameStart ? source.left(dot) : source;
    return stem + suffix + QStringLiteral(".gsd");
}

QString errorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
    return message;
}

}  // namespace trevik::window
