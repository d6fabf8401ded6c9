#pragma once
// A log sink that writes PREFIX_YYYY-MM-DD.log in a directory, the date being
// the local date of each record: a record of another day than the open
// file's (midnight, or a clock set forwards or back) goes to that day's file.
// Files are opened through the directory opened at start, never through a
// symbolic link: a link planted under a daily name is replaced by a regular
// file (and that is noted in the new file and in syslog), so a log line can
// never be appended to some other file of the device. Every record is
// written through to the file at once.

#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

class daily_file_sink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    // Opens `dir` (refusing a link) and today's file, whose records are
    // formatted by `pattern`; throws spdlog::spdlog_ex when it cannot.
    daily_file_sink(const std::filesystem::path& dir, std::string prefix, const std::string& pattern);
    ~daily_file_sink() override;
    daily_file_sink(const daily_file_sink&) = delete;
    daily_file_sink& operator=(const daily_file_sink&) = delete;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

private:
    void open_day(spdlog::log_clock::time_point when);
    void write_all(const char* data, std::size_t size);

    std::string m_prefix;
    int m_dir_fd = -1;
    int m_fd = -1;
    // The local day of the open file: [m_day_begin, m_day_end).
    spdlog::log_clock::time_point m_day_begin{};
    spdlog::log_clock::time_point m_day_end{};
};
