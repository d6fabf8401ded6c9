#pragma once
// Which log files a request may name, and the list of all downloadable logs.
// The application's daily logs live in the logs directory; NetBird's files
// are its daily copies there and its own client.log / client-*.log.gz in the
// data directory.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace log_files {

constexpr std::size_t MAX_LOG_NAME_BYTES = 255;

struct log_entry {
    const char* source;  // "app" or "netbird"
    std::string name;
    std::uintmax_t size;  // 0 when it cannot be read
};

// The existing regular file that `source` and the bare `name` of a request
// stand for, or nothing. The only way a request names a file on disk. A
// symbolic link is never followed: not as the file, not as the logs
// directory (a link planted there could expose any file of the device).
// Example: ("netbird", "client.log") -> DATA/client.log; ("app", "../app.json") -> nothing.
std::optional<std::filesystem::path> resolve(const std::filesystem::path& data_dir, const std::filesystem::path& log_dir,
                                             std::string_view source, std::string_view name);

// Every downloadable log: "app" before "netbird", names descending within a
// source (newest day first; client.log after the daily files, then archives).
// Regular files only, symbolic links left out.
// Example: app_2025-01-31.log.gz, app_2025-01-30.log, netbird_2025-01-31.log, client.log, client-2025-01-29.log.gz
std::vector<log_entry> list(const std::filesystem::path& data_dir, const std::filesystem::path& log_dir);

// Opens a file for reading without following a symbolic link (nor one in
// place of its directory) or waiting on a pipe, and only when it is a
// regular file; -1 otherwise. On success `size` is the size of the file that
// was opened.
int open_regular(const std::filesystem::path& file, std::uintmax_t& size);

}  // namespace log_files
