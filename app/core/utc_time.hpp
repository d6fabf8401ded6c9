#pragma once
// Times written as RFC 3339 text (what NetBird reports, what a history
// request's `since` may be), read as UTC milliseconds.

#include <cstdint>
#include <optional>
#include <string_view>

namespace utc_time {

// YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM) as UTC ms; a date or time
// that does not exist is refused, a fraction is kept to the millisecond.
// Example: "2026-12-07T02:14:00Z" -> 1796609640000; "2026-12-07T03:14:00.5+01:00" -> 1796609640500;
//          "2026-02-31T00:00:00Z" -> nothing; "2028-02-29T00:00:00Z" -> 1835395200000;
//          "0001-01-01T00:00:00Z" (Go's zero time) -> -62135596800000.
std::optional<std::int64_t> parse_rfc3339(std::string_view text);

}  // namespace utc_time
