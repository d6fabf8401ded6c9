// File logs: the daily application log, the daily copy of the daemon's
// output, the log level, and compression and pruning of finished days.

#include "core/application.hpp"

#include "settings/config_utils.hpp"
#include "logs/daily_file_sink.hpp"
#include "logs/log_maintenance.hpp"

#include <spdlog/spdlog.h>

#include <optional>

namespace fs = std::filesystem;

namespace {

constexpr const char* FILE_PATTERN = "[%Y-%m-%d %H:%M:%S.%e] [%L] %v";

// A link in place of the logs directory would send the logs, their
// compression and their pruning wherever it points: it is replaced by a
// real directory. Returns what the link pointed to, or nothing.
std::optional<fs::path> replace_linked_directory(const fs::path& dir) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(dir, ec)) || ec) return std::nullopt;
    const fs::path target = fs::read_symlink(dir, ec);
    fs::remove(dir, ec);
    return target;
}

}  // namespace

void application::setup_file_logging() {
    std::error_code ec;
    const auto linked = replace_linked_directory(m_log_dir);
    fs::create_directories(m_log_dir, ec);
    if (ec) {
        spdlog::warn("Unable to create log directory {}: {}", m_log_dir.string(), ec.message());
        return;
    }
    const nlohmann::json settings = read_json_file(m_app_config_path);
    const int retention = config_utils::parse_retention_days(settings);
    try {
        auto sink = std::make_shared<daily_file_sink>(m_log_dir, "app", FILE_PATTERN);
        spdlog::default_logger()->sinks().push_back(sink);
        spdlog::flush_on(spdlog::level::trace);
    } catch (const std::exception& e) {
        spdlog::warn("Unable to attach file log sink: {}", e.what());
    }
    apply_log_level(config_utils::parse_log_level(settings));
    if (linked)
        spdlog::warn("Replaced the symbolic link {} (to {}) with a real directory", m_log_dir.string(),
                     linked->string());
    try {
        auto sink = std::make_shared<daily_file_sink>(m_log_dir, "netbird", "%v");
        auto logger = std::make_shared<spdlog::logger>("netbird_file", sink);
        logger->set_level(spdlog::level::info);
        logger->flush_on(spdlog::level::info);
        m_netbird_file_logger = logger;
    } catch (const std::exception& e) {
        spdlog::warn("Unable to attach netbird file log sink: {}", e.what());
    }
    prune_daily_logs(retention);
    compress_daily_logs();
}

std::string application::log_level() const { return config_utils::parse_log_level(m_app_config); }

void application::apply_log_level(const std::string& level) const {
    spdlog::level::level_enum value = spdlog::level::info;
    if (level == "trace") value = spdlog::level::trace;
    else if (level == "debug") value = spdlog::level::debug;
    else if (level == "warning") value = spdlog::level::warn;
    else if (level == "error") value = spdlog::level::err;
    else if (level == "critical") value = spdlog::level::critical;
    else if (level == "off") value = spdlog::level::off;
    spdlog::default_logger()->set_level(value);
}

void application::prune_daily_logs(int retention_days) const {
    const auto now = log_maintenance::local_now();
    if (!now) return;
    const auto cutoff = log_maintenance::retention_cutoff(*now, retention_days);
    const auto today = log_maintenance::format_date(*now);
    if (cutoff && today) log_maintenance::prune_daily_logs(m_log_dir, *cutoff, *today);
}

void application::compress_daily_logs() const {
    const auto now = log_maintenance::local_now();
    if (!now) return;
    if (const auto today = log_maintenance::format_date(*now)) log_maintenance::compress_daily_logs(m_log_dir, *today);
}
