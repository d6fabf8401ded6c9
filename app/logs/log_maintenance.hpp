#pragma once
// Keeping the daily log directory small: finished days are gzip-compressed,
// days older than the retention are deleted. Nothing here logs or reports;
// every step tolerates files that vanish under it, and a temporary file never
// survives a completed step.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace log_maintenance {

// The oldest date (YYYY-MM-DD) kept with a retention of `retention_days`
// (below 1 counts as 1), counted back from `now` at noon so that a daylight
// saving change cannot shift it by a day.
// Example: now 2025-03-31 00:30, retention 7 -> "2025-03-25".
std::optional<std::string> retention_cutoff(std::tm now, int retention_days);

// Local date of `when` as YYYY-MM-DD. Example: 2025-01-31 23:59 -> "2025-01-31".
std::optional<std::string> format_date(const std::tm& when);

// Whether a right clock could have written `date` by `today` (see
// log_utils::PLAUSIBLE_SINCE).
// Example: ("2025-03-30", "2025-03-31") -> true; ("1970-01-01", ...) -> false; ("2025-04-01", "2025-03-31") -> false.
bool possible_date(const std::string& date, const std::string& today);

// The date a daily file counts as for retention: the date in its name,
// unless no clock that was right could have written it (before
// PLAUSIBLE_SINCE, or after today), then the date it was last modified.
// Example: ("2025-03-20", "2025-03-21", today "2025-03-31") -> "2025-03-20";
//          ("1970-01-01", "2025-03-30", ...) -> "2025-03-30"; ("2099-01-01", "2025-03-29", ...) -> "2025-03-29".
std::string counted_date(const std::string& name_date, const std::string& modified_date, const std::string& today);

// Deletes every regular file of `dir` whose counted date is before `cutoff`.
// A file whose name and modification time are both impossible (see
// counted_date) is given the current time first: its age counts from when it
// was found, so it is kept as long as any other log.
void prune_daily_logs(const std::filesystem::path& dir, const std::string& cutoff, const std::string& today);

// Compresses every plain app_/netbird_ daily file of `dir` not dated `today`
// (the files being written; a future date is a clock that was ahead) into
// NAME.gz (through NAME.gz.tmp) and deletes the plain file.
void compress_daily_logs(const std::filesystem::path& dir, const std::string& today);

// The current local time, or nothing when it cannot be converted.
std::optional<std::tm> local_now();

}  // namespace log_maintenance
