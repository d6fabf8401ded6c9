#include "gzip_file.hpp"

#include <fstream>
#include <vector>

#include <zlib.h>

namespace log_compression {

bool gzip_file(const std::filesystem::path& source, const std::filesystem::path& target) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return false;
    gzFile out = gzopen(target.c_str(), "wb");
    if (out == nullptr) return false;
    std::vector<char> buffer(GZIP_BUFFER_BYTES);
    bool ok = true;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = in.gcount();
        if (got > 0 && gzwrite(out, buffer.data(), static_cast<unsigned>(got)) != static_cast<int>(got)) ok = false;
    }
    if (in.bad()) ok = false;
    if (gzclose(out) != Z_OK) ok = false;
    return ok;
}

}  // namespace log_compression
