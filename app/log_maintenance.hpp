#pragma once
// Keeping the daily log directory small: finished days are gzip-compressed,
// days older than the retention are deleted. Nothing here logs or reports;
// every step tolerates files that vanish under it, and a temporary file never
// survives a completed step.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace log_maintenance {

// The oldest date (YYYY-MM-DD) kept with a retention of `retention_days`
// (below 1 counts as 1), counted back from `now` at noon so that a daylight
// saving change cannot shift it by a day.
// Example: now 2025-03-31 00:30, retention 7 -> "2025-03-25".
std::optional<std::string> retention_cutoff(std::tm now, int retention_days);

// Local date of `when` as YYYY-MM-DD. Example: 2025-01-31 23:59 -> "2025-01-31".
std::optional<std::string> format_date(const std::tm& when);

// Deletes every regular file of `dir` whose daily date is before `cutoff`.
void prune_daily_logs(const std::filesystem::path& dir, const std::string& cutoff);

// Compresses every plain app_/netbird_ daily file of `dir` dated before
// `today` into NAME.gz (through NAME.gz.tmp) and deletes the plain file.
void compress_daily_logs(const std::filesystem::path& dir, const std::string& today);

// The current local time, or nothing when it cannot be converted.
std::optional<std::tm> local_now();

}  // namespace log_maintenance
