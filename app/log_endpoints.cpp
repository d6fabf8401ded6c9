// Read-only diagnostics: tail of the daemon's live log, the list and download
// of every log file, and the storage report.

#include "application.hpp"

#include "api_json.hpp"
#include "log_files.hpp"
#include "storage_utils.hpp"

#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t MAX_BYTES = 200000;  // tail size

void write_text(const httpd::response_ptr& res, const char* status, const std::string& body,
                const std::string& disposition = {}, const char* content_type = "text/plain") {
    res->write_status(status);
    res->write_header("Content-Type", content_type);
    if (!disposition.empty()) res->write_header("Content-Disposition", disposition);
    res->write_header("Cache-Control", "no-store");
    res->end(body);
}

}  // namespace

std::optional<fs::path> application::resolve_log_file(std::string_view source, std::string_view name) const {
    return log_files::resolve(m_data_dir, m_log_dir, source, name);
}

std::string application::build_logs_list_json() const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& entry : log_files::list(m_data_dir, m_log_dir))
        list.push_back({{"source", entry.source}, {"name", entry.name}, {"size", entry.size}});
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
    // The size of the file that was opened: NetBird may rotate client.log
    // between the open and this point.
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(0, std::ios::beg);
    if (end > static_cast<std::streamoff>(MAX_BYTES)) {
        in.seekg(end - static_cast<std::streamoff>(MAX_BYTES), std::ios::beg);
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
