#pragma once
// gzip compression of one file through a fixed buffer, never through a
// symbolic link.

#include <cstddef>
#include <filesystem>

namespace log_compression {

constexpr std::size_t GZIP_BUFFER_BYTES = 64 * 1024;

// Writes the gzip compression of what `in_fd` reads to `out_fd` through a
// fixed 64 KiB buffer; false on any read, write or close error. Neither
// descriptor is closed.
bool gzip_stream(int in_fd, int out_fd);

// The same from file to file; only regular files, neither opened through a
// symbolic link.
// Example: an empty source gives a valid empty gzip file and true.
bool gzip_file(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace log_compression
