#include "core/file_sync.hpp"

#include "core/regular_file.hpp"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace file_sync {
namespace {

// Attempts at a unique temporary name before giving up.
constexpr int TEMPORARY_ATTEMPTS = 100;
// What a new file gets, less the file-creation mask.
constexpr mode_t SHARED_FILE_MODE = 0666;

bool write_all(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Opens a new, unique temporary file beside `target`; the file-creation mask
// applies to its mode as it would to the target's.
int open_temporary_beside(const std::filesystem::path& target, std::filesystem::path& temporary, mode_t mode) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; ++attempt) {
        temporary = target.parent_path() / (temporary_prefix(target) + std::to_string(::getpid()) + "." +
                                            std::to_string(counter.fetch_add(1)));
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

bool sync_file(const std::filesystem::path& file) {
    const int fd = regular_file::open(file, O_RDONLY).fd;
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

void sync_directory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string temporary_prefix(const std::filesystem::path& target) {
    return "." + target.filename().string() + ".tmp.";
}

replaced replace_file(const std::filesystem::path& target, std::string_view text,
                      std::optional<mode_t> private_mode) {
    struct stat before {};
    const bool was_link = ::lstat(target.c_str(), &before) == 0 && S_ISLNK(before.st_mode);
    std::filesystem::path temporary;
    // A private file is created private: nobody else can open it, even empty,
    // and read what comes later through that descriptor. Its exact mode is
    // then set whatever the file-creation mask took away.
    const int fd = open_temporary_beside(target, temporary, private_mode.value_or(SHARED_FILE_MODE));
    if (fd < 0) return replaced::no;
    const bool mode_set = !private_mode || ::fchmod(fd, *private_mode) == 0;
    const bool written = mode_set && write_all(fd, text) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return replaced::no;
    }
    sync_directory(target.parent_path());
    return was_link ? replaced::link : replaced::file;
}

}  // namespace file_sync
