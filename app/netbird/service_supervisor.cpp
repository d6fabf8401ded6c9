// The NetBird daemon as a supervised child: start, output capture, its
// graceful stop, the restart of a daemon that exited on its own (backing off
// while it keeps crashing) or could not be started, and the end of a daemon
// left behind by an earlier run. Loop thread, but for the output reader.

#include "core/application.hpp"

#include "netbird/child_process.hpp"
#include "core/file_sync.hpp"
#include "core/regular_file.hpp"
#include "netbird/command_lines.hpp"
#include "netbird/poll_cadence.hpp"
#include "core/text_utils.hpp"
#include "diagnostics/debug_bundle_output.hpp"

#include <boost/asio/post.hpp>
#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <spdlog/spdlog.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fstream>
#include <iterator>
#include <thread>

namespace bp = boost::process;
namespace fs = std::filesystem;

namespace {

// A daemon that could not be started, or keeps exiting soon after its start,
// is tried again after this, doubling up to the maximum while it goes on.
constexpr auto START_RETRY_FIRST = std::chrono::seconds(5);
constexpr auto START_RETRY_MAX = std::chrono::seconds(60);
// An exit this soon after the start is a crash; the first of a row is
// restarted at once, each later one after the back-off above.
constexpr auto QUICK_EXIT = std::chrono::seconds(60);
// A daemon up this long ends the back-off: its next exit is restarted at once.
constexpr auto BACK_OFF_RESET = std::chrono::minutes(10);
// SIGTERM, then this long for NetBird to take its tunnel down (it needs about
// 2 s), then SIGKILL; looked at this often meanwhile.
constexpr auto DAEMON_STOP_GRACE = std::chrono::seconds(5);
constexpr auto DAEMON_STOP_POLL = std::chrono::milliseconds(20);
// When the daemon's output ends, its exit is looked for this often, this many
// times (a daemon that only closed its output goes on running).
constexpr auto EXIT_WATCH_POLL = std::chrono::milliseconds(20);
constexpr int EXIT_WATCH_LOOKS = 50;
// How long a leftover daemon may take to disappear after SIGKILL.
constexpr auto LEFTOVER_EXIT_WAIT = std::chrono::seconds(5);
constexpr auto LEFTOVER_EXIT_POLL = std::chrono::milliseconds(20);
// A daemon line longer than this is cut (its output goes to a daily file).
constexpr std::size_t MAX_OUTPUT_LINE_BYTES = 16 * 1024;
// The pid file holds one number and a line feed.
constexpr std::size_t MAX_PID_FILE_BYTES = 32;
// NetBird's temporary folder is the owner's alone, like the data folder around it.
constexpr mode_t TEMPORARY_DIR_MODE = 0700;

std::vector<std::string> process_command_line(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> argv;
    std::string::size_type start = 0;
    while (start < raw.size()) {
        const auto end = raw.find('\0', start);
        argv.push_back(raw.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return argv;
}

bool process_exists(pid_t pid) {
    std::error_code ec;
    return fs::exists("/proc/" + std::to_string(pid), ec);
}

}  // namespace

bool application::service_running() {
    if (!m_service_process) return false;
    std::error_code ec;
    return m_service_process->running(ec) && !ec;
}

bool application::start_service() {
    if (service_running()) return true;
    stop_log_capture();

    // Failures are logged when they change, not at every retry.
    const auto failed = [this](const std::string& message) {
        if (message != m_service_start_error) {
            spdlog::error("{}", message);
            record("daemon_start_failed", message);
        }
        m_service_start_error = message;
        return false;
    };
    std::error_code exists_error;
    if (!fs::exists(m_netbird_path, exists_error)) return failed("VPN CLI not found at " + m_netbird_path.string());
    // A daemon that finds no configuration writes a fresh one and waits for a
    // login: until its first report, that new file must not read as enrolment.
    if (!fs::exists(m_config_path, exists_error)) {
        m_daemon_status = "NeedsLogin";
        m_needs_login.store(true, std::memory_order_release);
    }
    // NetBird's TMPDIR (a failure shows when a debug bundle prepares it again).
    ::mkdir((m_data_dir / debug_bundle_output::TEMPORARY_DIR).c_str(), TEMPORARY_DIR_MODE);
    try {
        std::vector<std::string> args = base_args_service();
        args.emplace_back("service");
        args.emplace_back("run");
        m_service_stderr = std::make_unique<bp::ipstream>();
        m_service_process.reset();
        m_service_process.emplace(bp::exe = args.front(),
                                  bp::args = std::vector<std::string>(args.begin() + 1, args.end()),
                                  bp::std_in < bp::null, bp::std_out > bp::null, bp::std_err > *m_service_stderr,
                                  child_process::environment_with(build_command_env()), child_process::clean_exec{});
        m_service_log_thread = std::thread([this] { service_log_reader(); });
        write_daemon_pid_file(m_service_process->id());
        m_service_started_at = std::chrono::steady_clock::now();
        // Until it has settled, its state is followed by fast polls.
        keep_polls_fast_until(m_service_started_at + poll_cadence::DAEMON_SETTLING);
        spdlog::info("VPN service started");
        // In a crash loop the exits are counted instead.
        if (m_quick_exits < 2) record("daemon_started", "NetBird daemon started", {{"pid", m_service_process->id()}});
        // The history takes a new daemon for one that is starting: its first
        // report is news even when it says what the old one's last did.
        m_report_failed = true;
        m_service_start_error.clear();
        keep_tunnel_down("the daemon started");
        return true;
    } catch (const std::exception& e) {
        child_process::discard(m_service_process);
        stop_log_capture();
        return failed(std::string("Failed to start VPN service: ") + e.what());
    }
}

void application::service_log_reader() {
    if (!m_service_stderr) return;
    std::string line;
    while (text_utils::read_bounded_line(*m_service_stderr, line, MAX_OUTPUT_LINE_BYTES)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (m_netbird_file_logger) m_netbird_file_logger->info("{}", line);
    }
    // Posted to the context itself: the first daemon starts before the loop runs.
    boost::asio::post(m_io, [this] { watch_daemon_exit(EXIT_WATCH_LOOKS); });
}

void application::watch_daemon_exit(int looks_left) {
    if (m_shutting_down || m_daemon_stopping || !m_service_process) return;
    if (!service_running()) {
        check_service_exit();
        return;
    }
    if (looks_left <= 0) return;
    m_exit_watch_timer.expires_after(EXIT_WATCH_POLL);
    m_exit_watch_timer.async_wait([this, looks_left](const boost::system::error_code& ec) {
        if (!ec) watch_daemon_exit(looks_left - 1);
    });
}

void application::stop_service(bool gracefully) {
    if (!m_service_process) return;
    try {
        if (gracefully)
            child_process::stop(*m_service_process,
                                std::chrono::duration_cast<std::chrono::milliseconds>(DAEMON_STOP_GRACE));
        else
            child_process::stop(*m_service_process);
        spdlog::info("VPN service stopped");
    } catch (const std::exception& e) {
        spdlog::error("Failed to stop VPN service: {}", e.what());
    }
    m_service_process.reset();
    std::error_code ignored;
    fs::remove(m_daemon_pid_path, ignored);
    stop_log_capture();
}

void application::stop_service_then(std::function<void()> then) {
    if (then) m_after_daemon_stop.push_back(std::move(then));
    if (m_daemon_stopping) return;  // the stop under way runs it too
    bool asked = false;
    if (m_service_process) {
        try {
            asked = child_process::ask_to_end(*m_service_process);
        } catch (const std::exception& e) {
            spdlog::error("Failed to ask the VPN service to stop: {}", e.what());
        }
    }
    m_daemon_stopping = true;
    if (asked) spdlog::info("Asked the VPN service to stop");
    poll_daemon_stop(std::chrono::steady_clock::now() + (asked ? DAEMON_STOP_GRACE : std::chrono::seconds(0)));
}

void application::poll_daemon_stop(std::chrono::steady_clock::time_point deadline) {
    const bool running = service_running();
    if (running && std::chrono::steady_clock::now() < deadline) {
        m_daemon_stop_timer.expires_at(std::min(deadline, std::chrono::steady_clock::now() + DAEMON_STOP_POLL));
        m_daemon_stop_timer.async_wait([this, deadline](const boost::system::error_code& ec) {
            if (!ec) poll_daemon_stop(deadline);
        });
        return;
    }
    if (running) spdlog::warn("VPN service did not stop within {} s; killing it", DAEMON_STOP_GRACE.count());
    stop_service();
    m_daemon_stopping = false;
    auto waiting = std::move(m_after_daemon_stop);
    m_after_daemon_stop.clear();
    for (auto& next : waiting) {
        // One that fails does not keep the others (a shutdown among them) from running.
        try {
            next();
        } catch (const std::exception& e) {
            spdlog::error("After the VPN service stopped: {}", e.what());
        }
    }
}

void application::stop_log_capture() {
    if (m_service_log_thread.joinable()) m_service_log_thread.join();
    m_service_stderr.reset();
}

void application::schedule_service_start(std::chrono::steady_clock::time_point at) {
    m_service_retry_at = at;
    m_service_start_timer.expires_at(at);
    m_service_start_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) check_service_exit();
    });
}

void application::check_service_exit() {
    // A daemon being stopped on purpose is no crash.
    if (m_shutting_down || m_daemon_stopping) return;
    const auto now = std::chrono::steady_clock::now();
    if (m_service_process) {
        std::error_code ec;
        if (m_service_process->running(ec) && !ec) {
            if (now - m_service_started_at >= BACK_OFF_RESET) {
                m_quick_exits = 0;
                m_service_retry_delay = START_RETRY_FIRST;
            }
            return;
        }
        m_quick_exits = now - m_service_started_at < QUICK_EXIT ? m_quick_exits + 1 : 0;
        std::chrono::seconds wait{0};
        if (m_quick_exits >= 2) {
            wait = m_service_retry_delay;
            m_service_retry_delay = std::min<std::chrono::seconds>(m_service_retry_delay * 2, START_RETRY_MAX);
        }
        spdlog::warn("VPN service exited, restarting{}",
                     wait.count() > 0 ? " in " + std::to_string(wait.count()) + " s (it keeps exiting)" : "");
        // The status was reaped by the check above, when it could be.
        const int status = m_service_process->native_exit_code();
        if (ec)
            record_daemon_exit("NetBird daemon is gone (" + ec.message() + ")", ec.message(), nlohmann::json::object(),
                               m_quick_exits, wait);
        else if (WIFSIGNALED(status))
            record_daemon_exit("NetBird daemon was killed (signal " + std::to_string(WTERMSIG(status)) + ")",
                               "signal " + std::to_string(WTERMSIG(status)), {{"signal", WTERMSIG(status)}},
                               m_quick_exits, wait);
        else
            record_daemon_exit("NetBird daemon exited (code " + std::to_string(WEXITSTATUS(status)) + ")",
                               "code " + std::to_string(WEXITSTATUS(status)), {{"code", WEXITSTATUS(status)}},
                               m_quick_exits, wait);
        // What the daemon left behind still holds its output pipe, which the
        // restart waits to drain.
        child_process::discard(m_service_process);
        if (wait.count() > 0) {
            schedule_service_start(now + wait);
            return;
        }
    } else if (now < m_service_retry_at) {
        return;  // a start failed or the daemon keeps exiting; wait for the back-off
    }
    if (start_service()) {
        // The new daemon has the current environment.
        m_pending_restart.store(false, std::memory_order_release);
        // Failed starts are over; the back-off of a crash loop lasts until a daemon stays up.
        if (m_quick_exits == 0) m_service_retry_delay = START_RETRY_FIRST;
        return;
    }
    schedule_service_start(now + m_service_retry_delay);
    m_service_retry_delay = std::min<std::chrono::seconds>(m_service_retry_delay * 2, START_RETRY_MAX);
}

void application::write_daemon_pid_file(pid_t pid) const {
    const auto result = file_sync::replace_file(m_daemon_pid_path, std::to_string(pid) + "\n");
    if (result == file_sync::replaced::no)
        spdlog::warn("Could not record the daemon's pid in {}", m_daemon_pid_path.string());
    if (result == file_sync::replaced::link)
        spdlog::warn("Replaced the symbolic link {} with a regular file", m_daemon_pid_path.string());
}

void application::end_leftover_daemon() const {
    // A supervisor killed outright leaves its daemon running where the kernel
    // did not end it with us: end it before starting ours, but only when the
    // recorded pid still runs our daemon (pids are reused).
    // Never through a pipe or link planted in its place: start-up would wait on it.
    const auto read = regular_file::read(m_daemon_pid_path, MAX_PID_FILE_BYTES);
    if (read.why != regular_file::refusal::none && read.why != regular_file::refusal::missing)
        spdlog::warn("Ignored {}: {}", m_daemon_pid_path.string(), regular_file::describe(read.why));
    const auto recorded = text_utils::parse_int(read.text);
    if (!recorded || *recorded <= 1) return;
    const auto pid = static_cast<pid_t>(*recorded);
    if (!command_lines::is_daemon_command_line(process_command_line(pid), m_netbird_path.string(),
                                               "unix://" + m_socket_path.string()))
        return;
    spdlog::warn("Ending NetBird daemon (pid {}) left by an earlier run", pid);
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + LEFTOVER_EXIT_WAIT;
    while (process_exists(pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(LEFTOVER_EXIT_POLL);
}
