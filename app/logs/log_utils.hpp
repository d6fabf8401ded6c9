#pragma once
// File-name rules by which the system recognises its log files. Daily files
// are PREFIX_YYYY-MM-DD.log, optionally followed by ".gz"; NetBird writes its
// own "client.log" and rotates it into "client-*.log.gz".

#include <optional>
#include <string>
#include <string_view>

namespace log_utils {

// No log of this system is older: an earlier date was written by a clock
// that had not been set yet (a camera boots at 1970 or at its firmware's date
// until it reaches a time server). Dates compare as text.
constexpr std::string_view PLAUSIBLE_SINCE = "2025-01-01";

// The date carried by a daily log name, or nothing. Month and day values are
// not checked, only the shape.
// Example: "app_2025-01-31.log.gz" -> "2025-01-31"; "app-2025-01-31.log" -> nothing.
std::optional<std::string> daily_log_date(std::string_view name);

// Example: "app_2025-01-31.log" -> true; "app.log" -> false.
bool is_app_log_name(std::string_view name);

// Example: "netbird_2025-01-31.log.gz" -> true; "netbird.log" -> false.
bool is_netbird_daily_name(std::string_view name);

// NetBird's own log: "client.log" or "client-...log.gz".
// Example: "client-2025-01-29.log.gz" -> true; "client.log.gz" -> false.
bool is_netbird_log_name(std::string_view name);

}  // namespace log_utils
