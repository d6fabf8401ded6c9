// Read-only diagnostics: tail of the daemon's live log, the list and download
// of every log file, and the storage report.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "http/byte_range.hpp"
#include "http/file_body.hpp"
#include "logs/log_files.hpp"
#include "logs/storage_utils.hpp"

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t MAX_BYTES = 200000;  // tail size

void write_text(const httpd::response_ptr& res, const char* status, std::string body) {
    res->write_status(status);
    res->write_header("Content-Type", "text/plain");
    res->write_header("Cache-Control", "no-store");
    res->end(std::move(body));
}

// Reads up to `length` bytes at `offset`; fewer when the file is shorter.
std::string read_at(int fd, std::uintmax_t offset, std::size_t length) {
    std::string out(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, out.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return out;
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
    // A symbolic link in place of the log is not followed: it is no log of ours.
    std::error_code ec;
    const auto status = fs::symlink_status(m_log_path, ec);
    if (ec || !fs::exists(status) || fs::is_symlink(status)) {
        write_text(res, "404 Not Found", "Netbird log not found.");
        return;
    }
    // The size of the file that was opened: NetBird may rotate client.log
    // between the open and the read.
    std::uintmax_t size = 0;
    const int fd = log_files::open_regular(m_log_path, size);
    if (fd < 0) {
        write_text(res, "500 Internal Server Error", "Unable to open netbird log.");
        return;
    }
    std::string body;
    std::uintmax_t start = 0;
    if (size > MAX_BYTES) {
        start = size - MAX_BYTES;
        body = "Log truncated to last 200000 bytes.\n";
    }
    // Never more than MAX_BYTES, even when the log grows while it is read.
    body += read_at(fd, start, static_cast<std::size_t>(std::min<std::uintmax_t>(size, MAX_BYTES)));
    ::close(fd);
    write_text(res, "200 OK", std::move(body));
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
    std::uintmax_t size = 0;
    const int fd = log_files::open_regular(*file, size);
    if (fd < 0) {
        write_text(res, "500 Internal Server Error", "Unable to open log file.");
        return;
    }
    // Streamed from the file: a log of hundreds of megabytes must not be
    // copied into memory. The length is that of the file when it was opened.
    // A page following a growing log asks for what follows what it has.
    const auto range = httpd::parse_byte_range(req.range, size);
    if (range.what == httpd::byte_range::kind::unsatisfiable) {
        ::close(fd);
        res->write_status("416 Range Not Satisfiable");
        res->write_header("Content-Range", "bytes */" + std::to_string(size));
        res->write_header("Content-Type", "text/plain");
        res->write_header("Cache-Control", "no-store");
        res->end(std::string_view("Nothing in that range."));
        return;
    }
    const bool partial = range.what == httpd::byte_range::kind::partial;
    if (partial && ::lseek(fd, static_cast<off_t>(range.first), SEEK_SET) < 0) {
        ::close(fd);
        write_text(res, "500 Internal Server Error", "Unable to open log file.");
        return;
    }
    const bool gz = name.size() > 2 && name.compare(name.size() - 3, 3, ".gz") == 0;
    res->write_status(partial ? "206 Partial Content" : "200 OK");
    res->write_header("Content-Type", gz ? "application/gzip" : "text/plain");
    res->write_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    res->write_header("Cache-Control", "no-store");
    res->write_header("Accept-Ranges", "bytes");
    if (partial)
        res->write_header("Content-Range", "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                                               "/" + std::to_string(size));
    res->end_streamed(partial ? range.last - range.first + 1 : size, httpd::file_body(fd));
}

void application::api_storage(const response_ptr& res, request&) {
    write_json(res, build_storage_json(), "200 OK", true);
}
