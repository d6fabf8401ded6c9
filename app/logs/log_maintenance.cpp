#include "logs/log_maintenance.hpp"

#include "core/regular_file.hpp"
#include "logs/gzip_file.hpp"
#include "logs/log_utils.hpp"

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace log_maintenance {
namespace {

constexpr int CUTOFF_HOUR = 12;
constexpr mode_t ARCHIVE_MODE = 0644;

// The directory, opened so that everything below goes through it: a link in
// its place is refused, so nothing outside it is ever compressed or deleted.
class directory {
public:
    explicit directory(const fs::path& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {}
    ~directory() {
        if (m_fd >= 0) ::close(m_fd);
    }
    directory(const directory&) = delete;
    directory& operator=(const directory&) = delete;

    int fd() const { return m_fd; }

    // The names of its entries (empty when it could not be opened or read).
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        if (m_fd < 0) return out;
        const int copy = ::dup(m_fd);
        if (copy < 0) return out;
        const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(copy), ::closedir);
        if (!listing) {
            ::close(copy);
            return out;
        }
        ::rewinddir(listing.get());
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") out.push_back(name);
        }
        return out;
    }

    // A regular file; with `follow`, a link to one counts too.
    bool is_regular(const std::string& name, bool follow) const {
        struct stat info {};
        return ::fstatat(m_fd, name.c_str(), &info, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
    }

    void remove(const std::string& name) const { ::unlinkat(m_fd, name.c_str(), 0); }

private:
    int m_fd;
};

// Whether a file of `dir` starts like a gzip file.
bool looks_gzipped(const directory& dir, const std::string& name) {
    const int fd = regular_file::open_at(dir.fd(), name, O_RDONLY).fd;
    if (fd < 0) return false;
    unsigned char magic[2] = {};
    const bool gzipped = ::read(fd, magic, sizeof magic) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
    ::close(fd);
    return gzipped;
}

// The day's archive exists already. One that is no gzip file holds nothing
// and is replaced. One made after the plain file's last write holds it (a
// compression cut short before the plain file went). Otherwise the plain
// file has more of that day (written under a wrong clock and dated again),
// which goes to the archive's end as one more gzip member (a gzip file may
// hold several, read as one). True when the plain file may go.
bool add_to_archive(const directory& dir, const struct stat& plain, const std::string& temporary,
                    const std::string& target) {
    struct stat archive {};
    if (::fstatat(dir.fd(), target.c_str(), &archive, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(archive.st_mode))
        return false;
    if (!looks_gzipped(dir, target)) return ::renameat(dir.fd(), temporary.c_str(), dir.fd(), target.c_str()) == 0;
    const auto modified = [](const struct stat& s) { return std::pair(s.st_mtim.tv_sec, s.st_mtim.tv_nsec); };
    if (modified(plain) <= modified(archive)) return true;
    const int in = regular_file::open_at(dir.fd(), temporary, O_RDONLY).fd;
    const int out = regular_file::open_at(dir.fd(), target, O_WRONLY | O_APPEND).fd;
    bool ok = in >= 0 && out >= 0;
    std::vector<char> buffer(log_compression::GZIP_BUFFER_BYTES);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = ::write(out, buffer.data(), static_cast<std::size_t>(n)) == n;
    }
    if (ok) ok = ::fsync(out) == 0;
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return ok;
}

// Compresses `name` of `dir` into `target` through `temporary`; the archive
// is on the flash before the plain file goes.
void compress_one(const directory& dir, const std::string& name, const std::string& target,
                  const std::string& temporary) {
    dir.remove(temporary);
    const int in = regular_file::open_at(dir.fd(), name, O_RDONLY).fd;
    if (in < 0) return;
    struct stat info {};
    const bool stated = ::fstat(in, &info) == 0;
    // Created afresh: a link planted under the temporary name is never written through.
    const int out =
        stated ? regular_file::open_at(dir.fd(), temporary, O_WRONLY | O_CREAT | O_EXCL, ARCHIVE_MODE).fd : -1;
    bool ok = out >= 0 && log_compression::gzip_stream(in, out) && ::fsync(out) == 0;
    ::close(in);
    if (out >= 0 && ::close(out) != 0) ok = false;
    // An archive of that day may be there already, never to be replaced.
    if (ok && ::renameat2(dir.fd(), temporary.c_str(), dir.fd(), target.c_str(), RENAME_NOREPLACE) != 0)
        ok = errno == EEXIST && add_to_archive(dir, info, temporary, target);
    if (out >= 0) dir.remove(temporary);
    if (!ok) return;
    ::fsync(dir.fd());
    dir.remove(name);
}

}  // namespace

std::optional<std::string> retention_cutoff(std::tm now, int retention_days) {
    const int keep = retention_days < 1 ? 1 : retention_days;
    now.tm_hour = CUTOFF_HOUR;
    now.tm_min = 0;
    now.tm_sec = 0;
    now.tm_mday -= keep - 1;
    now.tm_isdst = -1;
    if (std::mktime(&now) == static_cast<std::time_t>(-1)) return std::nullopt;
    return format_date(now);
}

std::optional<std::string> format_date(const std::tm& when) {
    char text[16];
    if (std::strftime(text, sizeof text, "%Y-%m-%d", &when) == 0) return std::nullopt;
    return std::string(text);
}

std::optional<std::tm> local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return std::nullopt;
    return local;
}

bool possible_date(const std::string& date, const std::string& today) {
    return date >= log_utils::PLAUSIBLE_SINCE && date <= today;
}

std::string counted_date(const std::string& name_date, const std::string& modified_date, const std::string& today) {
    return possible_date(name_date, today) ? name_date : modified_date;
}

void prune_daily_logs(const fs::path& dir_path, const std::string& cutoff, const std::string& today) {
    const directory dir(dir_path);
    // A clock that has not been set yet judges nothing: the names alone count then.
    const bool clock_set = possible_date(today, today);
    for (const auto& name : dir.names()) {
        // A link named like an old log goes too (only the link itself).
        if (!dir.is_regular(name, true)) continue;
        const auto date = log_utils::daily_log_date(name);
        if (!date) continue;
        struct stat info {};
        std::string modified;
        if (::fstatat(dir.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            std::tm local{};
            localtime_r(&info.st_mtime, &local);
            modified = format_date(local).value_or("");
        }
        if (clock_set && !possible_date(*date, today) && !possible_date(modified, today)) {
            // Neither date can be right: the file's age starts now.
            ::utimensat(dir.fd(), name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
            modified = today;
        }
        if ((clock_set ? counted_date(*date, modified, today) : *date) < cutoff) dir.remove(name);
    }
}

void compress_daily_logs(const fs::path& dir_path, const std::string& today) {
    const directory dir(dir_path);
    for (const auto& name : dir.names()) {
        // A link named like a daily log must not be compressed into a real
        // file that the download then serves.
        if (!dir.is_regular(name, false)) continue;
        if (!log_utils::is_app_log_name(name) && !log_utils::is_netbird_daily_name(name)) continue;
        if (fs::path(name).extension() != ".log") continue;
        const auto date = log_utils::daily_log_date(name);
        if (!date || *date == today) continue;
        compress_one(dir, name, name + ".gz", name + ".gz.tmp");
    }
}

}  // namespace log_maintenance
