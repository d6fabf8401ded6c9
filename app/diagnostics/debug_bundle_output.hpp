#pragma once
// NetBird's debug bundles as the supervisor names and reads them: the name a
// downloaded archive gets, and the archive's path and upload key in the
// output of `debug bundle`.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace debug_bundle_output {

// The folder under localdata that NetBird gets as its TMPDIR: its daemon
// writes every archive there (created 0700, swept after each bundle command).
constexpr std::string_view TEMPORARY_DIR = "tmp";

// Whether a file name is one of NetBird's debug archives ("netbird.debug.*.zip").
// Example: "netbird.debug.123abc.zip" -> true; "netbird.debug.zip" -> false; "x.zip" -> false.
bool is_archive_name(std::string_view name);

// The name a downloaded debug bundle gets: the device's host name (letters,
// digits, '.' and '-' only, at most 63 of them) and the UTC time.
// Example: ("axis-accc8e0001", 1765073640) -> "netbird-debug-axis-accc8e0001-20261207T021400Z.zip";
//          ("", ...) -> "netbird-debug-device-....zip"; ("a b/c", ...) -> "netbird-debug-a-b-c-....zip".
std::string file_name(std::string_view host, std::time_t when);

// Path of the archive named after a "Local file:" line.
// Example: "Local file:\n  /tmp/b.zip\r\n" -> "/tmp/b.zip"; "Local file: /tmp/b.zip" -> nothing.
std::optional<std::string> local_path(const std::string& output);
// Key named after an "Upload file key:" line.
// Example: "Upload file key:\n abc/def \n" -> "abc/def"; "Upload file key:\n\n" -> nothing.
std::optional<std::string> upload_key(const std::string& output);

}  // namespace debug_bundle_output
