#pragma once
// Making a replaced file durable before the old one goes: cameras lose power,
// and a rename that reaches the flash before the new file's data leaves an
// empty file behind.

#include <filesystem>

namespace file_sync {

// Flushes an existing file's data to storage; false when it cannot.
bool sync_file(const std::filesystem::path& file);

// Flushes a directory's entries (a rename in it) to storage; best effort.
void sync_directory(const std::filesystem::path& dir);

}  // namespace file_sync
