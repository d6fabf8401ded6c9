#include "http/byte_range.hpp"

#include <limits>
#include <optional>

namespace httpd {
namespace {

// A run of decimal digits, or nothing (empty, other bytes, or too large).
std::optional<std::uint64_t> number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

byte_range parse_byte_range(std::string_view header, std::uint64_t size) {
    constexpr std::string_view unit = "bytes=";
    if (header.substr(0, unit.size()) != unit) return {};
    const std::string_view spec = header.substr(unit.size());
    const auto dash = spec.find('-');
    if (dash == std::string_view::npos || spec.find(',') != std::string_view::npos) return {};
    const auto first = number(spec.substr(0, dash));
    const auto last = number(spec.substr(dash + 1));
    if (!first) {
        // The last N bytes.
        if (!last || *last == 0) return {};
        if (size == 0) return {byte_range::kind::unsatisfiable};
        return {byte_range::kind::partial, *last >= size ? 0 : size - *last, size - 1};
    }
    if (!spec.substr(dash + 1).empty() && (!last || *last < *first)) return {};
    if (*first >= size) return {byte_range::kind::unsatisfiable};
    return {byte_range::kind::partial, *first, last && *last < size ? *last : size - 1};
}

}  // namespace httpd
