#pragma once

#include <filesystem>

namespace log_compression {

constexpr std::size_t GZIP_BUFFER_BYTES = 64 * 1024;

// Writes the gzip compression of `source` to `target` through a fixed
// 64 KiB buffer; false on any read, write or close error.
// Example: an empty source gives a valid empty gzip file and true.
bool gzip_file(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace log_compression
