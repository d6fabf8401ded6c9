// The on-demand iperf3 server for throughput tests over the tunnel.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "netbird/child_process.hpp"
#include "diagnostics/iperf_utils.hpp"
#include "core/text_utils.hpp"

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <spdlog/spdlog.h>

namespace bp = boost::process;

namespace {

constexpr std::size_t IPERF_MAX_OUTPUT_LINES = 400;
constexpr int IPERF_DEFAULT_PORT = 5201;
constexpr int IPERF_DEFAULT_IDLE_TIMEOUT = 60;
constexpr int IPERF_MIN_PORT = 1024;
constexpr int IPERF_MAX_PORT = 65535;
constexpr int IPERF_MIN_IDLE_TIMEOUT = 5;
constexpr int IPERF_MAX_IDLE_TIMEOUT = 3600;
// A longer output line is cut: the buffer holds 400 lines, not 400 files.
constexpr std::size_t IPERF_MAX_LINE_BYTES = 16 * 1024;

// A form number: the fallback when absent or empty, 0 when it does not read.
int form_int(const text_utils::form_map& form, const char* key, int fallback) {
    const auto it = form.find(key);
    if (it == form.end() || it->second.empty()) return fallback;
    return text_utils::parse_int(it->second).value_or(0);
}

}  // namespace

bool application::start_iperf_server(int port, int idle_timeout, bool one_shot) {
    if (m_iperf_process) {
        std::error_code ec;
        if (m_iperf_process->running(ec) && !ec) return true;
    }
    stop_iperf_server();
    std::error_code exists_error;
    if (!std::filesystem::exists(m_iperf3_path, exists_error)) {
        // Also a lookup error (a permission problem on the path): nothing can start.
        spdlog::error("iperf3 binary not found at {}", m_iperf3_path.string());
        return false;
    }
    try {
        const auto args = iperf_utils::iperf_server_args(port, idle_timeout, one_shot);
        m_iperf_output_stream = std::make_unique<bp::ipstream>();
        m_iperf_process.emplace(bp::exe = m_iperf3_path.string(), bp::args = args, bp::std_in < bp::null,
                                (bp::std_out & bp::std_err) > *m_iperf_output_stream, child_process::clean_exec{});
        {
            std::lock_guard<std::mutex> lock(m_iperf_mutex);
            m_iperf_output.clear();
            m_iperf_port = port;
        }
        m_iperf_started_at = std::chrono::steady_clock::now();
        m_iperf_log_thread = std::thread([this] { iperf_log_reader(); });
        spdlog::info("iperf3 server started on port {} (idle-timeout {}s{})", port, idle_timeout,
                     one_shot ? ", one-off" : "");
        return true;
    } catch (const std::exception& e) {
        spdlog::error("Failed to start iperf3 server: {}", e.what());
        child_process::discard(m_iperf_process);
        if (m_iperf_log_thread.joinable()) m_iperf_log_thread.join();
        m_iperf_output_stream.reset();
        return false;
    }
}

void application::stop_iperf_server() {
    if (m_iperf_process) {
        try {
            child_process::stop(*m_iperf_process);
        } catch (const std::exception& e) {
            spdlog::error("Failed to stop iperf3 server: {}", e.what());
        }
        m_iperf_process.reset();
    }
    if (m_iperf_log_thread.joinable()) m_iperf_log_thread.join();
    m_iperf_output_stream.reset();
    std::lock_guard<std::mutex> lock(m_iperf_mutex);
    m_iperf_port = 0;
}

void application::iperf_log_reader() {
    if (!m_iperf_output_stream) return;
    std::string line;
    while (text_utils::read_bounded_line(*m_iperf_output_stream, line, IPERF_MAX_LINE_BYTES)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        {
            std::lock_guard<std::mutex> lock(m_iperf_mutex);
            m_iperf_output.push_back(line);
            if (m_iperf_output.size() > IPERF_MAX_OUTPUT_LINES) m_iperf_output.pop_front();
        }
        spdlog::debug("[iperf3] {}", text_utils::escape_for_log(line));
    }
}

void application::reap_iperf_if_exited() {
    if (!m_iperf_process) return;
    std::error_code ec;
    if (m_iperf_process->running(ec) && !ec) return;
    spdlog::info("iperf3 server exited");
    stop_iperf_server();
}

std::string application::iperf_status_json() {
    bool running = false;
    if (m_iperf_process) {
        std::error_code ec;
        running = m_iperf_process->running(ec) && !ec;
    }
    const std::int64_t uptime =
        running ? std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_iperf_started_at)
                      .count()
                : 0;
    int port = 0;
    std::string output;
    {
        std::lock_guard<std::mutex> lock(m_iperf_mutex);
        // A server that ended (a one-off test done) after the last reaping
        // has no port any more, whatever the bookkeeping says until then.
        port = running ? m_iperf_port : 0;
        for (const auto& line : m_iperf_output) output.append(line).append("\n");
    }
    return api_json::compact({{"output", output}, {"port", port}, {"running", running}, {"uptime_seconds", uptime}});
}

void application::api_iperf_start(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    collect_body(res, [this, res, aborted](const std::string& body) {
        if (aborted->load(std::memory_order_acquire)) return;
        const auto form = text_utils::parse_form(body);
        const int port = form_int(form, "port", IPERF_DEFAULT_PORT);
        const int idle_timeout = form_int(form, "idle_timeout", IPERF_DEFAULT_IDLE_TIMEOUT);
        bool one_shot = true;
        if (const auto it = form.find("one_shot"); it != form.end())
            one_shot = it->second == "true" || it->second == "1" || it->second == "on";
        if (port < IPERF_MIN_PORT || port > IPERF_MAX_PORT) {
            write_json(res, api_json::error_json("Port must be an integer between 1024 and 65535"), "400 Bad Request",
                       true);
        } else if (idle_timeout < IPERF_MIN_IDLE_TIMEOUT || idle_timeout > IPERF_MAX_IDLE_TIMEOUT) {
            write_json(res, api_json::error_json("Idle timeout must be an integer between 5 and 3600 seconds"),
                       "400 Bad Request", true);
        } else if (start_iperf_server(port, idle_timeout, one_shot)) {
            write_json(res, iperf_status_json(), "200 OK", true);
        } else {
            write_json(res, api_json::error_json("Could not start iperf3 server"), "500 Internal Server Error", true);
        }
    });
}

void application::api_iperf_stop(const response_ptr& res, request&) {
    stop_iperf_server();
    write_json(res, iperf_status_json(), "200 OK", true);
}

void application::api_iperf_status(const response_ptr& res, request&) {
    reap_iperf_if_exited();
    write_json(res, iperf_status_json(), "200 OK", true);
}
