#pragma once
// Files that must survive a power cut whole: a replacement is written beside
// the target, flushed to the flash, then renamed over it, so the target is
// always either the old file or the new one, never a truncated one; and the
// rename replaces a symbolic link at the target instead of writing through it.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace file_sync {

// Flushes an existing file's data to storage; false when it cannot.
bool sync_file(const std::filesystem::path& file);

// Flushes a directory's entries (a rename in it) to storage; best effort.
void sync_directory(const std::filesystem::path& dir);

// Temporary files of a replacement of `target` start with this name.
// Example: DIR/app.json -> ".app.json.tmp."
std::string temporary_prefix(const std::filesystem::path& target);

enum class replaced { no, file, link };

// Replaces `target` with a regular file holding exactly `text`, of mode
// `private_mode` when given (whatever the file-creation mask says: a file
// that holds secrets), else from the process's file-creation mask, as a new
// file gets. Says what was there: `replaced::link` when the target was a
// symbolic link, which is replaced and never followed; `replaced::no` when
// nothing could be written (the target is then unchanged).
// Example: replace_file(DIR/env.json, "{}\n", 0600) -> a file of mode 0600 under umask 022.
replaced replace_file(const std::filesystem::path& target, std::string_view text,
                      std::optional<mode_t> private_mode = std::nullopt);

}  // namespace file_sync
