#include "logs/daily_file_sink.hpp"

#include "core/regular_file.hpp"
#include "logs/log_utils.hpp"

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr mode_t LOG_FILE_MODE = 0644;
constexpr int OPEN_FLAGS = O_WRONLY | O_APPEND | O_CREAT;
// The wall clock and the boot clock may drift apart by this much between two
// records (time servers slew the clock slowly); more is the clock being set.
constexpr auto CLOCK_SET_TOLERANCE = std::chrono::minutes(5);
constexpr std::size_t COPY_BUFFER_BYTES = 64 * 1024;

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

// Time since boot, suspended time included: it moves only forwards, whatever
// the wall clock is set to.
std::chrono::nanoseconds boot_time() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

daily_file_sink::daily_file_sink(const std::filesystem::path& dir, std::string prefix, const std::string& pattern)
    : m_prefix(std::move(prefix)) {
    set_pattern_(pattern);
    m_dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_dir_fd < 0) throw spdlog::spdlog_ex("Failed opening log directory " + dir.string(), errno);
    const auto now = log_clock::now();
    open_day(now);
    m_last_wall = now;
    m_last_boot = boot_time();
}

daily_file_sink::~daily_file_sink() {
    if (m_fd >= 0) ::close(m_fd);
    if (m_dir_fd >= 0) ::close(m_dir_fd);
}

std::string daily_file_sink::file_name(log_clock::time_point when) const {
    const std::time_t t = log_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char date[16];
    if (std::strftime(date, sizeof date, "%Y-%m-%d", &local) == 0) throw spdlog::spdlog_ex("Failed formatting log date");
    return m_prefix + "_" + date + ".log";
}

void daily_file_sink::open_day(log_clock::time_point when) {
    const std::string name = file_name(when);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    auto opened = regular_file::open_at(m_dir_fd, name, OPEN_FLAGS, LOG_FILE_MODE);
    const bool replaced =
        opened.why == regular_file::refusal::link || opened.why == regular_file::refusal::not_regular;
    if (replaced) {
        // A link (or a device, a pipe) under a daily name is no log of ours.
        ::unlinkat(m_dir_fd, name.c_str(), 0);
        opened = regular_file::open_at(m_dir_fd, name, OPEN_FLAGS | O_EXCL, LOG_FILE_MODE);
    }
    if (opened.fd < 0)
        throw spdlog::spdlog_ex("Failed opening log file " + name + ": " + regular_file::describe(opened.why));
    m_fd = opened.fd;
    m_name = name;
    const std::time_t t = log_clock::to_time_t(when);
    m_day_begin = log_clock::from_time_t(local_midnight(t, 0));
    m_day_end = log_clock::from_time_t(local_midnight(t, 1));
    if (replaced) {
        const std::string text = "Replaced a symbolic link or special file at " + name + " with a regular file";
        const spdlog::details::log_msg notice(when, spdlog::source_loc{}, "", spdlog::level::warn, text);
        spdlog::memory_buf_t formatted;
        formatter_->format(notice, formatted);
        write_all(m_fd, formatted.data(), formatted.size());
        ::syslog(LOG_WARNING, "[W] %s", text.c_str());
    }
}

void daily_file_sink::date_again(log_clock::time_point when) {
    const std::string name = file_name(when);
    // A clock set to a date no log can have is the one that is wrong now.
    if (name == m_name || name.substr(m_prefix.size() + 1, log_utils::PLAUSIBLE_SINCE.size()) < log_utils::PLAUSIBLE_SINCE)
        return;
    if (::renameat2(m_dir_fd, m_name.c_str(), m_dir_fd, name.c_str(), RENAME_NOREPLACE) == 0) {
        m_name = name;
        const std::time_t t = log_clock::to_time_t(when);
        m_day_begin = log_clock::from_time_t(local_midnight(t, 0));
        m_day_end = log_clock::from_time_t(local_midnight(t, 1));
        return;
    }
    // That day has a file already: what was written under the wrong date
    // goes to its end (the wrong day's file goes only once all of it is there).
    const std::string old_name = m_name;
    const int old_fd = regular_file::open_at(m_dir_fd, old_name, O_RDONLY).fd;
    if (old_fd < 0) {
        open_day(when);
        return;
    }
    const std::unique_ptr<int, void (*)(int*)> closing(new int(old_fd), [](int* fd) {
        ::close(*fd);
        delete fd;
    });
    open_day(when);
    std::string buffer(COPY_BUFFER_BYTES, '\0');
    while (true) {
        const ssize_t n = ::read(old_fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;  // what could not be read stays where it is
        if (n == 0) break;
        write_all(m_fd, buffer.data(), static_cast<std::size_t>(n));
    }
    ::unlinkat(m_dir_fd, old_name.c_str(), 0);
}

void daily_file_sink::write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw spdlog::spdlog_ex("Failed writing to log file", errno);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void daily_file_sink::sink_it_(const spdlog::details::log_msg& msg) {
    const auto boot = boot_time();
    if (msg.time < m_day_begin || msg.time >= m_day_end) {
        const auto drift = (msg.time - m_last_wall) - (boot - m_last_boot);
        if (drift > CLOCK_SET_TOLERANCE || drift < -CLOCK_SET_TOLERANCE) date_again(msg.time);
        if (msg.time < m_day_begin || msg.time >= m_day_end) open_day(msg.time);
    }
    m_last_wall = msg.time;
    m_last_boot = boot;
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    write_all(m_fd, formatted.data(), formatted.size());
}
