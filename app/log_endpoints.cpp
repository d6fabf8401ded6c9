// Read-only diagnostics: tail of the daemon's live log, the list and download
// of every log file, and the storage report.

#include "application.hpp"

#include "api_json.hpp"
#include "log_utils.hpp"
#include "storage_utils.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t MAX_BYTES = 200000;  // tail size
constexpr std::size_t MAX_LOG_NAME_BYTES = 255;

struct log_entry {
    const char* source;
    std::string name;
    std::uintmax_t size;
};

void write_text(const httpd::response_ptr& res, const char* status, const std::string& body,
                const std::string& disposition = {}, const char* content_type = "text/plain") {
    res->write_status(status);
    res->write_header("Content-Type", content_type);
    if (!disposition.empty()) res->write_header("Content-Disposition", disposition);
    res->write_header("Cache-Control", "no-store");
    res->end(body);
}

bool is_regular_entry(const fs::directory_entry& entry) {
    std::error_code ec;
    if (entry.is_symlink(ec) || ec) return fs::is_regular_file(fs::status(entry.path(), ec)) && !ec;
    return entry.is_regular_file(ec) && !ec;
}

// Calls add(name, size) for every regular file of `dir` whose name passes `keep`.
template <typename Keep, typename Add>
void walk_logs(const fs::path& dir, Keep keep, Add add) {
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

bool is_netbird_daily(const std::string& name) {
    return name.rfind("netbird_", 0) == 0 && log_utils::daily_log_date(name).has_value();
}

bool has_unsafe_byte(std::string_view name) {
    return std::any_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == '"' || byte == '/' || byte == '\\' || byte == 0x7F;
    });
}

}  // namespace

std::optional<fs::path> application::resolve_log_file(std::string_view source, std::string_view name) const {
    if (name.empty() || name.size() > MAX_LOG_NAME_BYTES || has_unsafe_byte(name)) return std::nullopt;
    if (name.find("..") != std::string_view::npos) return std::nullopt;
    fs::path base;
    if (source == "netbird") {
        if (name.substr(0, 8) == "netbird_" && log_utils::daily_log_date(name)) base = m_log_dir;
        else if (log_utils::is_netbird_log_name(name)) base = m_data_dir;
        else return std::nullopt;
    } else if (source == "app") {
        if (!log_utils::is_app_log_name(name)) return std::nullopt;
        base = m_log_dir;
    } else {
        return std::nullopt;
    }
    const fs::path candidate = base / std::string(name);
    if (candidate.parent_path() != base) return std::nullopt;
    std::error_code ec;
    const auto status = fs::status(candidate, ec);
    if (ec || !fs::is_regular_file(status)) return std::nullopt;
    return candidate;
}

std::string application::build_logs_list_json() const {
    std::vector<log_entry> entries;
    walk_logs(m_data_dir, log_utils::is_netbird_log_name,
              [&](const std::string& name, std::uintmax_t size) { entries.push_back({"netbird", name, size}); });
    walk_logs(m_log_dir, is_netbird_daily,
              [&](const std::string& name, std::uintmax_t size) { entries.push_back({"netbird", name, size}); });
    walk_logs(
        m_log_dir, [](const std::string& name) { return log_utils::is_app_log_name(name); },
        [&](const std::string& name, std::uintmax_t size) { entries.push_back({"app", name, size}); });
    std::sort(entries.begin(), entries.end(), [](const log_entry& a, const log_entry& b) {
        const int by_source = std::strcmp(a.source, b.source);
        if (by_source != 0) return by_source < 0;
        return a.name > b.name;
    });
    nlohmann::json list = nlohmann::json::array();
    for (const auto& entry : entries) list.push_back({{"source", entry.source}, {"name", entry.name}, {"size", entry.size}});
    return api_json::compact(list);
}

std::string application::build_storage_json() const {
    std::error_code ec;
    const auto space = fs::space(m_data_dir, ec);
    if (ec) return api_json::compact({{"free", 0}, {"total", 0}, {"used_pct", 0}});
    return api_json::compact({{"free", space.available},
                              {"total", space.capacity},
                              {"used_pct", storage_utils::used_percent(space.capacity, space.available)}});
}

void application::api_logs_tail(const response_ptr& res, request& req) {
    if (req.get_query("source") != "netbird") {
        write_text(res, "404 Not Found", "Unknown log source.");
        return;
    }
    std::error_code ec;
    if (!fs::exists(m_log_path, ec)) {
        write_text(res, "404 Not Found", "Netbird log not found.");
        return;
    }
    std::ifstream in(m_log_path, std::ios::binary);
    if (!in) {
        write_text(res, "500 Internal Server Error", "Unable to open netbird log.");
        return;
    }
    std::string body;
    const auto size = fs::file_size(m_log_path, ec);
    if (!ec && size > MAX_BYTES) {
        in.seekg(static_cast<std::streamoff>(size - MAX_BYTES), std::ios::beg);
        body = "Log truncated to last 200000 bytes.\n";
    }
    // Never more than MAX_BYTES, even when the log grows while it is read.
    std::string content(MAX_BYTES, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    body += content;
    write_text(res, "200 OK", body);
}

void application::api_logs_list(const response_ptr& res, request&) {
    write_json(res, build_logs_list_json(), "200 OK", true);
}

void application::api_logs_download(const response_ptr& res, request& req) {
    const std::string name = req.get_query("name");
    const auto file = resolve_log_file(req.get_query("source"), name);
    if (!file) {
        write_text(res, "404 Not Found", "Log file not found.");
        return;
    }
    std::ifstream in(*file, std::ios::binary);
    if (!in) {
        write_text(res, "500 Internal Server Error", "Unable to open log file.");
        return;
    }
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool gz = name.size() > 2 && name.compare(name.size() - 3, 3, ".gz") == 0;
    write_text(res, "200 OK", content, "attachment; filename=\"" + name + "\"", gz ? "application/gzip" : "text/plain");
}

void application::api_storage(const response_ptr& res, request&) {
    write_json(res, build_storage_json(), "200 OK", true);
}
