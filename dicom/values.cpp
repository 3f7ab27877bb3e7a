#include "dicom/values.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace trevik::dicom {

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<std::string> dateValue(std::string_view text) {
    int year = 0, month = 0, day = 0;
    if (text.size() != 10 || text[4] != '.' || text[7] != '.' || !digits(text, 0, 4, year) ||
        !digits(text, 5, 2, month) || !digits(text, 8, 2, day))
        return std::nullopt;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return std::nullopt;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) return std::nullopt;
    return std::string(text.substr(0, 4)) + std::string(text.substr(5, 2)) + std::string(text.substr(8, 2));
}

std::optional<std::string> timeValue(std::string_view text) {
    int hour = 0, minute = 0, second = 0;
    if (text.size() != 8 || text[2] != ':' || text[5] != ':' || !digits(text, 0, 2, hour) ||
        !digits(text, 3, 2, minute) || !digits(text, 6, 2, second))
        return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    return std::string(text.substr(0, 2)) + std::string(text.substr(3, 2)) + std::string(text.substr(6, 2));
}

std::string recordDate(std::string_view da) {
    int unused = 0;
    if (da.size() == 8 && digits(da, 0, 8, unused))
        return std::string(da.substr(0, 4)) + "." + std::string(da.substr(4, 2)) + "." + std::string(da.substr(6, 2));
    if (da.size() == 10 && digits(da, 0, 4, unused) && da[4] == '.' && digits(da, 5, 2, unused) && da[7] == '.' &&
        digits(da, 8, 2, unused))
        return std::string(da);
    return {};
}

std::string recordTime(std::string_view tm) {
    std::string d;
    for (const char c : tm) {
        if (c == '.') break;
        if (c >= '0' && c <= '9') d += c;
        else if (c != ':') return {};
    }
    if (d.size() != 2 && d.size() != 4 && d.size() != 6) return {};
    d.resize(6, '0');
    return d.substr(0, 2) + ":" + d.substr(2, 2) + ":" + d.substr(4, 2);
}

std::string alphabeticGroup(std::string_view pn) {
    std::string text(pn.substr(0, pn.find('=')));
    // Empty trailing components say nothing ("SMITH^^^" is "SMITH").
    while (!text.empty() && (text.back() == '^' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string decimalValue(double value) {
    if (!std::isfinite(value)) return {};
    char buffer[40];
    for (int precision = 12; precision > 0; --precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strlen(buffer) <= 16) return buffer;
    }
    return {};
}

std::string integerValue(long long value) { return std::to_string(value); }

std::string trimmed(std::string_view value) {
    while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.remove_suffix(1);
    std::size_t first = 0;
    while (first < value.size() && value[first] == ' ') ++first;
    return std::string(value.substr(first));
}

}  // namespace trevik::dicom
