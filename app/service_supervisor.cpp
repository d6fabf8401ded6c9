// The NetBird daemon as a supervised child: start, output capture, stop,
// restart, and the restart of a daemon that exited on its own.

#include "application.hpp"

#include "child_process.hpp"

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/env.hpp>
#include <boost/process/environment.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <spdlog/spdlog.h>

namespace bp = boost::process;

bool application::service_running() {
    if (!m_service_process) return false;
    std::error_code ec;
    return m_service_process->running(ec) && !ec;
}

void application::start_service() {
    if (service_running()) return;
    stop_log_capture();

    std::error_code exists_error;
    if (!std::filesystem::exists(m_netbird_path, exists_error)) {
        spdlog::error("VPN CLI not found at {}", m_netbird_path.string());
        return;
    }
    try {
        std::vector<std::string> args = base_args_service();
        args.emplace_back("service");
        args.emplace_back("run");
        const bp::environment env = child_process::environment_with(build_command_env());

        m_service_stderr = std::make_unique<bp::ipstream>();
        m_service_process.reset();
        m_service_process.emplace(bp::exe = args.front(),
                                  bp::args = std::vector<std::string>(args.begin() + 1, args.end()),
                                  bp::std_in < bp::null, bp::std_out > bp::null, bp::std_err > *m_service_stderr, env,
                                  child_process::clean_exec{});
        m_service_log_thread = std::thread([this] { service_log_reader(); });
        spdlog::info("VPN service started");
    } catch (const std::exception& e) {
        spdlog::error("Failed to start VPN service: {}", e.what());
        child_process::discard(m_service_process);
        stop_log_capture();
    }
}

void application::service_log_reader() {
    if (!m_service_stderr) return;
    std::string line;
    while (std::getline(*m_service_stderr, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (m_netbird_file_logger) m_netbird_file_logger->info("{}", line);
    }
}

void application::stop_service() {
    if (!m_service_process) return;
    try {
        child_process::stop(*m_service_process);
        spdlog::info("VPN service stopped");
    } catch (const std::exception& e) {
        spdlog::error("Failed to stop VPN service: {}", e.what());
    }
    m_service_process.reset();
    stop_log_capture();
}

void application::restart_service() {
    stop_service();
    start_service();
    m_pending_restart.store(false, std::memory_order_release);
}

void application::stop_log_capture() {
    if (m_service_log_thread.joinable()) m_service_log_thread.join();
    m_service_stderr.reset();
}

void application::check_service_exit() {
    if (m_shutting_down || !m_service_process) return;
    if (service_running()) return;
    spdlog::warn("VPN service exited, restarting");
    // What the daemon left behind still holds its output pipe, which the
    // restart waits to drain.
    child_process::discard(m_service_process);
    start_service();
}
