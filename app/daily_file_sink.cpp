#include "daily_file_sink.hpp"

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr mode_t LOG_FILE_MODE = 0644;
constexpr int OPEN_FLAGS = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC;

using log_clock = spdlog::log_clock;

// Local midnight of the day of `t`, `days_later` days on (DST-safe: mktime
// works out the offset of each midnight itself).
std::time_t local_midnight(std::time_t t, int days_later) {
    std::tm day{};
    localtime_r(&t, &day);
    day.tm_hour = 0;
    day.tm_min = 0;
    day.tm_sec = 0;
    day.tm_mday += days_later;
    day.tm_isdst = -1;
    return std::mktime(&day);
}

}  // namespace

daily_file_sink::daily_file_sink(const std::filesystem::path& dir, std::string prefix, const std::string& pattern)
    : m_prefix(std::move(prefix)) {
    set_pattern_(pattern);
    m_dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_dir_fd < 0) throw spdlog::spdlog_ex("Failed opening log directory " + dir.string(), errno);
    open_day(log_clock::now());
}

daily_file_sink::~daily_file_sink() {
    if (m_fd >= 0) ::close(m_fd);
    if (m_dir_fd >= 0) ::close(m_dir_fd);
}

void daily_file_sink::open_day(log_clock::time_point when) {
    const std::time_t t = log_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char date[16];
    if (std::strftime(date, sizeof date, "%Y-%m-%d", &local) == 0) throw spdlog::spdlog_ex("Failed formatting log date");
    const std::string name = m_prefix + "_" + date + ".log";
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    int fd = ::openat(m_dir_fd, name.c_str(), OPEN_FLAGS, LOG_FILE_MODE);
    struct stat info {};
    bool replaced = false;
    if (fd < 0 ? errno == ELOOP : (::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode))) {
        // A link (or a device, a pipe) under a daily name is no log of ours.
        if (fd >= 0) ::close(fd);
        ::unlinkat(m_dir_fd, name.c_str(), 0);
        fd = ::openat(m_dir_fd, name.c_str(), OPEN_FLAGS | O_EXCL, LOG_FILE_MODE);
        replaced = true;
    }
    if (fd < 0) throw spdlog::spdlog_ex("Failed opening log file " + name, errno);
    m_fd = fd;
    m_day_begin = log_clock::from_time_t(local_midnight(t, 0));
    m_day_end = log_clock::from_time_t(local_midnight(t, 1));
    if (replaced) {
        const std::string text = "Replaced a symbolic link or special file at " + name + " with a regular file";
        const spdlog::details::log_msg notice(when, spdlog::source_loc{}, "", spdlog::level::warn, text);
        spdlog::memory_buf_t formatted;
        formatter_->format(notice, formatted);
        write_all(formatted.data(), formatted.size());
        ::syslog(LOG_WARNING, "[W] %s", text.c_str());
    }
}

void daily_file_sink::write_all(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw spdlog::spdlog_ex("Failed writing to log file", errno);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void daily_file_sink::sink_it_(const spdlog::details::log_msg& msg) {
    if (m_fd < 0 || msg.time < m_day_begin || msg.time >= m_day_end) open_day(msg.time);
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    write_all(formatted.data(), formatted.size());
}
