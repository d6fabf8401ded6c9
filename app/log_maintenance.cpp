#include "log_maintenance.hpp"

#include "file_sync.hpp"
#include "gzip_file.hpp"
#include "log_utils.hpp"

namespace fs = std::filesystem;

namespace log_maintenance {
namespace {

constexpr int CUTOFF_HOUR = 12;

bool is_regular(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_regular_file(ec) && !ec;  // follows symbolic links
}

// A link named like a daily log must not be compressed into a real file
// that the download then serves.
bool is_regular_not_link(const fs::directory_entry& entry) {
    std::error_code ec;
    const auto status = entry.symlink_status(ec);
    return !ec && fs::is_regular_file(status);
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

void prune_daily_logs(const fs::path& dir, const std::string& cutoff) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!is_regular(*it)) continue;
        const auto date = log_utils::daily_log_date(it->path().filename().string());
        if (date && *date < cutoff) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

void compress_daily_logs(const fs::path& dir, const std::string& today) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!is_regular_not_link(*it)) continue;
        const fs::path source = it->path();
        const std::string name = source.filename().string();
        if (!log_utils::is_app_log_name(name) && !log_utils::is_netbird_daily_name(name)) continue;
        if (source.extension() != ".log") continue;
        const auto date = log_utils::daily_log_date(name);
        if (!date || *date >= today) continue;

        const fs::path target = source.string() + ".gz";
        const fs::path temporary = target.string() + ".tmp";
        std::error_code ignored;
        fs::remove(temporary, ignored);
        // The compressed copy must be on the flash before the plain file goes.
        if (!log_compression::gzip_file(source, temporary) || !file_sync::sync_file(temporary)) {
            fs::remove(temporary, ignored);
            continue;
        }
        std::error_code rename_error;
        fs::rename(temporary, target, rename_error);
        if (rename_error) {
            fs::remove(temporary, ignored);
            continue;
        }
        file_sync::sync_directory(dir);
        fs::remove(source, ignored);
    }
}

}  // namespace log_maintenance
