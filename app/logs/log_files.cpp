#include "logs/log_files.hpp"

#include "core/regular_file.hpp"
#include "logs/log_utils.hpp"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace log_files {
namespace {

bool is_regular_entry(const fs::directory_entry& entry) {
    std::error_code ec;
    const auto status = entry.symlink_status(ec);
    return !ec && fs::is_regular_file(status);
}

bool is_real_directory(const fs::path& dir) {
    std::error_code ec;
    const auto status = fs::symlink_status(dir, ec);
    return !ec && fs::is_directory(status);
}

// Calls add(name, size) for every regular file of `dir` whose name passes `keep`.
template <typename Keep, typename Add>
void walk(const fs::path& dir, Keep keep, Add add) {
    if (!is_real_directory(dir)) return;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!is_regular_entry(*it)) continue;
        const std::string name = it->path().filename().string();
        if (!keep(name)) continue;
        std::error_code size_error;
        const auto size = fs::file_size(it->path(), size_error);
        add(name, size_error ? 0 : size);
    }
}

bool is_netbird_daily(std::string_view name) {
    return name.substr(0, 8) == "netbird_" && log_utils::daily_log_date(name).has_value();
}

bool has_unsafe_byte(std::string_view name) {
    return std::any_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == '"' || byte == '/' || byte == '\\' || byte == 0x7F;
    });
}

}  // namespace

std::optional<fs::path> resolve(const fs::path& data_dir, const fs::path& log_dir, std::string_view source,
                                std::string_view name) {
    if (name.empty() || name.size() > MAX_LOG_NAME_BYTES || has_unsafe_byte(name)) return std::nullopt;
    if (name.find("..") != std::string_view::npos) return std::nullopt;
    fs::path base;
    if (source == "netbird") {
        if (is_netbird_daily(name)) base = log_dir;
        else if (log_utils::is_netbird_log_name(name)) base = data_dir;
        else return std::nullopt;
    } else if (source == "app") {
        if (!log_utils::is_app_log_name(name)) return std::nullopt;
        base = log_dir;
    } else {
        return std::nullopt;
    }
    const fs::path candidate = base / std::string(name);
    if (candidate.parent_path() != base || !is_real_directory(base)) return std::nullopt;
    std::error_code ec;
    const auto status = fs::symlink_status(candidate, ec);
    if (ec || !fs::is_regular_file(status)) return std::nullopt;
    return candidate;
}

int open_regular(const fs::path& file, std::uintmax_t& size) {
    // The checks are made on what was opened: the file or its directory may
    // have been swapped for a link between a look at the name and the open.
    const int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return -1;
    const auto opened = regular_file::open_at(dir, file.filename(), O_RDONLY);
    ::close(dir);
    if (opened.fd >= 0) size = opened.size;
    return opened.fd;
}

std::vector<log_entry> list(const fs::path& data_dir, const fs::path& log_dir) {
    std::vector<log_entry> entries;
    const auto add_as = [&entries](const char* source) {
        return [&entries, source](const std::string& name, std::uintmax_t size) {
            entries.push_back({source, name, size});
        };
    };
    walk(data_dir, log_utils::is_netbird_log_name, add_as("netbird"));
    walk(log_dir, is_netbird_daily, add_as("netbird"));
    walk(log_dir, log_utils::is_app_log_name, add_as("app"));
    std::sort(entries.begin(), entries.end(), [](const log_entry& a, const log_entry& b) {
        const int by_source = std::strcmp(a.source, b.source);
        if (by_source != 0) return by_source < 0;
        return a.name > b.name;
    });
    return entries;
}

}  // namespace log_files
