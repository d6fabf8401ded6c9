#include "core/regular_file.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace regular_file {
namespace {

constexpr int ALWAYS_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;

refusal refusal_of(int error) {
    switch (error) {
    case ENOENT: return refusal::missing;
    case ELOOP: return refusal::link;  // O_NOFOLLOW met a link
    case ENXIO:                        // a pipe without a reader, a socket
    case EISDIR:
    case ENODEV: return refusal::not_regular;
    default: return refusal::failed;
    }
}

}  // namespace

const char* describe(refusal why) {
    switch (why) {
    case refusal::none: return "readable";
    case refusal::missing: return "missing";
    case refusal::link: return "a symbolic link";
    case refusal::not_regular: return "not a regular file";
    case refusal::too_large: return "too large";
    case refusal::failed: break;
    }
    return "unreadable";
}

opened open_at(int dir_fd, const std::filesystem::path& name, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::openat(dir_fd, name.c_str(), flags | ALWAYS_FLAGS, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return {-1, refusal_of(errno)};
    // What was opened is judged, not the name: the name may have changed since.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return {-1, refusal::not_regular};
    }
    return {fd, refusal::none, static_cast<std::uintmax_t>(info.st_size)};
}

opened open(const std::filesystem::path& file, int flags, mode_t mode) { return open_at(AT_FDCWD, file, flags, mode); }

contents read(const std::filesystem::path& file, std::size_t max_bytes) {
    const opened in = open(file, O_RDONLY);
    if (in.fd < 0) return {{}, in.why};
    contents out;
    out.text.reserve(static_cast<std::size_t>(std::min<std::uintmax_t>(in.size, max_bytes)));
    std::string buffer(READ_CHUNK_BYTES, '\0');
    while (true) {
        const ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) out.why = refusal::failed;
        if (n <= 0) break;
        if (out.text.size() + static_cast<std::size_t>(n) > max_bytes) {
            out.why = refusal::too_large;
            break;
        }
        out.text.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(in.fd);
    if (out.why != refusal::none) out.text.clear();
    return out;
}

}  // namespace regular_file
