#pragma once
// Syslog sink of the default logger. Trace and debug records are sent with
// informational priority (the platform's log viewer drops LOG_DEBUG); the
// level letter in the message still tells them apart.

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <array>
#include <limits>
#include <mutex>
#include <string>

#include <syslog.h>

template <typename Mutex>
class axis_syslog_sink : public spdlog::sinks::base_sink<Mutex> {
public:
    axis_syslog_sink(std::string ident, int syslog_option, int syslog_facility, bool enable_formatting)
        : m_ident(std::move(ident)), m_enable_formatting(enable_formatting) {
        // openlog keeps the pointer: m_ident lives as long as the sink.
        ::openlog(m_ident.empty() ? nullptr : m_ident.c_str(), syslog_option, syslog_facility);
    }

    ~axis_syslog_sink() override { ::closelog(); }

    axis_syslog_sink(const axis_syslog_sink&) = delete;
    axis_syslog_sink& operator=(const axis_syslog_sink&) = delete;

    // Priority for each library level, indexed by spdlog::level::level_enum.
    static constexpr std::array<int, 7> PRIORITIES = {
        LOG_INFO,     // trace
        LOG_INFO,     // debug
        LOG_INFO,     // info
        LOG_WARNING,  // warn
        LOG_ERR,      // err
        LOG_CRIT,     // critical
        LOG_INFO,     // off
    };

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::string_view_t payload;
        spdlog::memory_buf_t formatted;
        if (m_enable_formatting) {
            this->formatter_->format(msg, formatted);
            payload = spdlog::string_view_t(formatted.data(), formatted.size());
        } else {
            payload = msg.payload;
        }
        std::size_t length = payload.size();
        // The formatter's line ending is syslog's business, not part of the message.
        while (length > 0 && (payload[length - 1] == '\n' || payload[length - 1] == '\r')) --length;
        if (length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            length = static_cast<std::size_t>(std::numeric_limits<int>::max());
        ::syslog(PRIORITIES.at(static_cast<std::size_t>(msg.level)), "%.*s", static_cast<int>(length),
                 payload.data());
    }

    void flush_() override {}

private:
    std::string m_ident;
    bool m_enable_formatting;
};

using axis_syslog_sink_mt = axis_syslog_sink<std::mutex>;
