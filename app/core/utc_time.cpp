#include "core/utc_time.hpp"

#include <cctype>

namespace utc_time {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Example: (2024, 2) -> 29; (2026, 2) -> 28; (2026, 4) -> 30.
int days_in_month(int year, int month) {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : DAYS[month - 1];
}

// Reads `count` digits at `pos` into `value`.
bool digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<std::int64_t> parse_rfc3339(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 20 || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || (text[10] != 'T' && text[10] != 't') ||
        !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' ||
        !digits(text, 17, 2, second))
        return std::nullopt;
    // A day the month does not have is no time (2026-02-31 is not 2026-03-03); a
    // leap second (:60) is one.
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
        second > 60)
        return std::nullopt;
    std::size_t pos = 19;
    int millis = 0;
    if (text[pos] == '.') {
        std::size_t n = 0;
        for (++pos; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos, ++n)
            if (n < 3) millis = millis * 10 + (text[pos] - '0');
        if (n == 0) return std::nullopt;
        for (; n < 3; ++n) millis *= 10;
    }
    int offset_minutes = 0;
    if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z') && pos + 1 == text.size()) {
        // UTC
    } else if (pos + 6 == text.size() && (text[pos] == '+' || text[pos] == '-') && text[pos + 3] == ':') {
        int oh, om;
        if (!digits(text, pos + 1, 2, oh) || !digits(text, pos + 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offset_minutes = (text[pos] == '+' ? 1 : -1) * (oh * 60 + om);
    } else {
        return std::nullopt;
    }
    const std::int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset_minutes * 60;
    return seconds * 1000 + millis;
}

}  // namespace utc_time
