#include "http/file_body.hpp"

#include <cerrno>
#include <memory>

#include <unistd.h>

namespace httpd {
namespace {

struct owned_fd {
    explicit owned_fd(int value) : fd(value) {}
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    ~owned_fd() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

}  // namespace

http_response::body_reader file_body(int fd) {
    // Shared: the frame may copy the reader; the file closes with the last copy.
    auto file = std::make_shared<owned_fd>(fd);
    return [file](char* buffer, std::size_t capacity) -> std::size_t {
        while (true) {
            const ssize_t n = ::read(file->fd, buffer, capacity);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    };
}

}  // namespace httpd
