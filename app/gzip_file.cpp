#include "gzip_file.hpp"

#include "log_files.hpp"

#include <cerrno>
#include <vector>

#include <unistd.h>
#include <zlib.h>

namespace log_compression {

bool gzip_file(const std::filesystem::path& source, const std::filesystem::path& target) {
    // Never through a symbolic link: its target could be any file of the device.
    std::uintmax_t size = 0;
    const int in = log_files::open_regular(source, size);
    if (in < 0) return false;
    gzFile out = gzopen(target.c_str(), "wb");
    if (out == nullptr) {
        ::close(in);
        return false;
    }
    std::vector<char> buffer(GZIP_BUFFER_BYTES);
    bool ok = true;
    while (true) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        if (gzwrite(out, buffer.data(), static_cast<unsigned>(got)) != static_cast<int>(got)) ok = false;
    }
    ::close(in);
    if (gzclose(out) != Z_OK) ok = false;
    return ok;
}

}  // namespace log_compression
