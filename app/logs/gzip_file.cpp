#include "logs/gzip_file.hpp"

#include "core/regular_file.hpp"
#include "logs/log_files.hpp"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace log_compression {
namespace {

constexpr mode_t ARCHIVE_MODE = 0644;

}  // namespace

bool gzip_stream(int in_fd, int out_fd) {
    // zlib closes what it was given: a copy, so the caller keeps its own.
    const int copy = ::dup(out_fd);
    if (copy < 0) return false;
    gzFile out = gzdopen(copy, "wb");
    if (out == nullptr) {
        ::close(copy);
        return false;
    }
    std::vector<char> buffer(GZIP_BUFFER_BYTES);
    bool ok = true;
    while (true) {
        const ssize_t got = ::read(in_fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        if (gzwrite(out, buffer.data(), static_cast<unsigned>(got)) != static_cast<int>(got)) ok = false;
    }
    if (gzclose(out) != Z_OK) ok = false;
    return ok;
}

bool gzip_file(const std::filesystem::path& source, const std::filesystem::path& target) {
    // Never through a symbolic link (its target could be any file of the
    // device), never waiting on a pipe planted under either name.
    std::uintmax_t size = 0;
    const int in = log_files::open_regular(source, size);
    if (in < 0) return false;
    const int out = regular_file::open(target, O_WRONLY | O_CREAT | O_TRUNC, ARCHIVE_MODE).fd;
    const bool ok = out >= 0 && gzip_stream(in, out);
    ::close(in);
    if (out >= 0 && ::close(out) != 0) return false;
    return ok;
}

}  // namespace log_compression
