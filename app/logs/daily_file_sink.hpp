#pragma once
// A log sink that writes PREFIX_YYYY-MM-DD.log in a directory, the date being
// the local date of each record: a record of another day than the open
// file's goes to that day's file.
//
// A date change that the boot clock does not account for is the wall clock
// being set (a camera that booted with a stale clock, then found its time
// server; or a clock set back): what was written meanwhile is dated again,
// under the corrected date, so that retention judges it by when it was
// really written (the file is renamed, or appended to the corrected day's
// file when that exists). A clock set to a date no log can have (see
// log_utils::PLAUSIBLE_SINCE) is taken for the wrong one: nothing is dated
// again then, and the records go to that date's file until it is corrected.
//
// Files are opened through the directory opened at start, never through a
// symbolic link and never waiting: a link, named pipe or device planted
// under a daily name is replaced by a regular file (noted in the new file
// and in syslog), so a log line can never be appended to some other file of
// the device nor hang the logger. Every record is written through to the
// file at once.

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
    std::string file_name(spdlog::log_clock::time_point when) const;
    void open_day(spdlog::log_clock::time_point when);
    // Gives the open file the name of `when`'s day (renamed, or appended to
    // that day's file when there is one).
    void date_again(spdlog::log_clock::time_point when);
    void write_all(int fd, const char* data, std::size_t size);

    std::string m_prefix;
    int m_dir_fd = -1;
    int m_fd = -1;
    std::string m_name;  // of the open file
    // The local day of the open file: [m_day_begin, m_day_end).
    spdlog::log_clock::time_point m_day_begin{};
    spdlog::log_clock::time_point m_day_end{};
    // The wall and boot clocks at the last record, to tell a set clock from time passing.
    spdlog::log_clock::time_point m_last_wall{};
    std::chrono::nanoseconds m_last_boot{};
};
