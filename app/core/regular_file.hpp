#pragma once
// Opening the data directory's own files so that nothing planted under their
// names can hang the supervisor or send its reads and writes elsewhere: a
// symbolic link is never followed, an open never waits (a named pipe without
// a writer or reader, a device), and anything but a regular file is refused.
// Every descriptor is closed on exec.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include <sys/types.h>

namespace regular_file {

// Why a file was not opened or read.
enum class refusal {
    none,
    missing,      // nothing under that name (and O_CREAT not asked for)
    link,         // a symbolic link
    not_regular,  // a named pipe, socket, device or directory
    too_large,    // more than the caller's bound (reading only)
    failed,       // any other error: permissions, I/O
};

// Example: refusal::not_regular -> "not a regular file".
const char* describe(refusal why);

struct opened {
    int fd = -1;  // the caller's to close; -1 when refused
    refusal why = refusal::none;
    std::uintmax_t size = 0;  // when it was opened
};

// Opens `name` of the directory `dir_fd` (AT_FDCWD for the current one) with
// `flags` (O_RDONLY, O_WRONLY | O_APPEND | O_CREAT...) and O_NOFOLLOW |
// O_NONBLOCK | O_CLOEXEC. The descriptor stays non-blocking, which changes
// nothing for a regular file.
// Example: a named pipe -> {-1, not_regular}; a link to a regular file -> {-1, link};
//          a missing name with O_CREAT -> a new empty file.
opened open_at(int dir_fd, const std::filesystem::path& name, int flags, mode_t mode = 0);
opened open(const std::filesystem::path& file, int flags, mode_t mode = 0);

struct contents {
    std::string text;  // empty when refused
    refusal why = refusal::none;
};

// The whole of a regular file of at most `max_bytes`.
// Example: a file of 10 bytes with max_bytes 4 -> {"", too_large}.
contents read(const std::filesystem::path& file, std::size_t max_bytes);

}  // namespace regular_file
