// Paths, persisted state, the main loop, signals and shutdown.

#include "core/application.hpp"

#include "core/fatal_error.hpp"
#include "core/file_sync.hpp"
#include "settings/env_overrides.hpp"
#include "core/process_exit.hpp"
#include "core/regular_file.hpp"

#include <boost/asio/post.hpp>
#include <spdlog/spdlog.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t EXE_PATH_BUFFER = 4096;
constexpr const char* API_SOCKET_ROOT = "/run/http";
constexpr mode_t API_SOCKET_MODE = 0666;
constexpr const char* SETUP_KEY_FILE_PREFIX = "setup-key-";
// The settings, the overrides and the tunnel's wish are small; the fullest
// env.json (64 overrides of 4096 bytes, every byte escaped as \u00XX) is about 1.6 MiB.
constexpr std::size_t MAX_JSON_FILE_BYTES = 4 * 1024 * 1024;
// Files that may hold secrets (the overrides: pre-shared keys, tokens).
constexpr mode_t PRIVATE_FILE_MODE = 0600;
// The data directory is the owner's alone: NetBird's control socket in it is
// open to every local user (0666), and would let any of them drive the daemon.
constexpr mode_t DATA_DIR_MODE = 0700;

// Whether a regular file (never through a link) lets others than its owner in.
bool readable_by_others(const std::filesystem::path& file) {
    const int fd = regular_file::open(file, O_RDONLY).fd;
    if (fd < 0) return false;
    struct stat info {};
    const bool open_to_others = ::fstat(fd, &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    ::close(fd);
    return open_to_others;
}

}  // namespace

application::application(const std::string& app_name) : m_app_name(app_name) { init_paths(); }

void application::init_paths() {
    std::array<char, EXE_PATH_BUFFER> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length < 1) throw std::runtime_error("Unable to resolve application path");
    buffer[static_cast<std::size_t>(length)] = '\0';
    const fs::path exe(buffer.data());
    m_app_dir = exe.parent_path();
    m_data_dir = m_app_dir / "localdata";
    m_netbird_path = m_app_dir / "lib" / "netbird";
    m_iperf3_path = m_app_dir / "lib" / "iperf3";
    m_config_path = m_data_dir / "config.json";
    m_log_path = m_data_dir / "client.log";
    m_log_dir = m_data_dir / "logs";
    m_socket_path = m_data_dir / "netbird.sock";
    m_api_socket_path = fs::path(API_SOCKET_ROOT) / m_app_name / "api.sock";
    m_env_path = m_data_dir / "env.json";
    m_app_config_path = m_data_dir / "app.json";
    m_daemon_pid_path = m_data_dir / "netbird-daemon.pid";
    m_wish_path = m_data_dir / "tunnel.json";
    m_history_path = m_data_dir / "history.jsonl";
}

void application::ensure_data_dir() const {
    std::error_code ec;
    fs::create_directories(m_data_dir, ec);
    if (ec) throw std::runtime_error("Unable to create localdata directory");
    // Narrowed also when an older version (or a hand) left it wider; never
    // through a link planted in its place, whose target is not ours to change.
    const int fd = ::open(m_data_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    const bool narrow = fd >= 0 && ::fstat(fd, &info) == 0 &&
                        ((info.st_mode & 07777) == DATA_DIR_MODE || ::fchmod(fd, DATA_DIR_MODE) == 0);
    if (!narrow) spdlog::warn("Could not make {} private to its owner: {}", m_data_dir.string(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
}

nlohmann::json application::read_json_file(const path& file) const {
    // A pipe, device or link planted under the name is refused, never waited on
    // or followed; what then applies is what applies without the file.
    const auto read = regular_file::read(file, MAX_JSON_FILE_BYTES);
    if (read.why != regular_file::refusal::none) {
        if (read.why != regular_file::refusal::missing)
            spdlog::warn("Ignored {}: {}", file.string(), regular_file::describe(read.why));
        return nlohmann::json::object();
    }
    auto value = nlohmann::json::parse(read.text, nullptr, false, false);
    return value.is_object() ? value : nlohmann::json::object();
}

bool application::write_json_file(const path& file, const nlohmann::json& value) const {
    const std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const auto result = file_sync::replace_file(
        file, text, file == m_env_path ? std::optional<mode_t>(PRIVATE_FILE_MODE) : std::nullopt);
    if (result == file_sync::replaced::no) spdlog::error("Failed to write {}", file.string());
    if (result == file_sync::replaced::link) spdlog::warn("Replaced the symbolic link {} with a regular file", file.string());
    return result != file_sync::replaced::no;
}

void application::load_state() {
    {
        std::lock_guard<std::mutex> lock(m_env_mutex);
        m_env_overrides.clear();
        const nlohmann::json stored = read_json_file(m_env_path);
        for (const auto& [key, value] : stored.items()) {
            if (value.is_string()) m_env_overrides[key] = value.get<std::string>();
        }
        // Written again when something was dropped, and when an older
        // version left it readable by others.
        if (env_overrides::drop_unloadable_overrides(m_env_overrides) || readable_by_others(m_env_path))
            write_json_file(m_env_path, nlohmann::json(m_env_overrides));
    }
    m_app_config = read_json_file(m_app_config_path);
    if (m_app_config.erase("setup_key") > 0) write_json_file(m_app_config_path, m_app_config);
}

void application::remove_stale_temporary_files() const {
    // A key staged for an "up" that never finished, or a settings file whose
    // replacement was cut short, must not stay on the flash after a crash.
    std::error_code ec;
    for (fs::directory_iterator it(m_data_dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool staged_key = name.rfind(SETUP_KEY_FILE_PREFIX, 0) == 0;
        const bool unfinished_write = name.rfind(file_sync::temporary_prefix(m_app_config_path), 0) == 0 ||
                                      name.rfind(file_sync::temporary_prefix(m_env_path), 0) == 0 ||
                                      name.rfind(file_sync::temporary_prefix(m_daemon_pid_path), 0) == 0 ||
                                      name.rfind(file_sync::temporary_prefix(m_wish_path), 0) == 0 ||
                                      name.rfind(file_sync::temporary_prefix(m_history_path), 0) == 0;
        if (staged_key || unfinished_write) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

void application::run() {
    ensure_data_dir();
    remove_stale_temporary_files();
    load_state();

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    const int block_error = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (block_error != 0) spdlog::warn("Failed to block signals: {}", std::strerror(block_error));
    m_signals_blocked = block_error == 0;

    // Only an enrolled device is ever brought up.
    load_tunnel_state();
    m_history = std::make_unique<history_log>(m_history_path);
    m_history->load();
    {
        const auto& events = m_history->events();
        const char* previous = events.empty()                                   ? "none"
                               : events.back().kind == "supervisor_stopping" ? "stopped"
                                                                              : "killed or crashed";
        record("supervisor_started",
               std::string("Supervisor started") +
                   (events.empty() ? "" : std::string(" (the previous run ") +
                                              (previous == std::string("stopped") ? "ended cleanly)"
                                                                                  : "was killed or crashed)")),
               {{"previous", previous}, {"wanted", m_desired_up}, {"enrolled", enrolled()}});
    }
    note_interrupted_sign_in();
    end_leftover_daemon();
    start_service();
    // From here the daemon and its output reader run: a failure may not
    // unwind the object under them.
    try {
        start_serving();
    } catch (...) {
        fail_after_start(std::current_exception());
    }
    wind_down();
}

void application::start_serving() {
    httpd::router routes;
    setup_routes(routes);
    m_server = std::make_unique<httpd::server>(m_io, std::move(routes));
    m_loop = &m_io;

    m_command_thread = std::thread([this] { command_worker_loop(); });
    m_command_thread.detach();
    start_watchdog();

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    const int signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        spdlog::warn("Failed to create signalfd: {}", std::strerror(errno));
        if (m_signals_blocked) ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    } else {
        start_signal_thread(signal_fd);
    }

    std::error_code ignored;
    fs::create_directories(m_api_socket_path.parent_path(), ignored);
    ::unlink(m_api_socket_path.c_str());
    on_listen(m_server->listen(m_api_socket_path.string(), API_SOCKET_MODE));

    m_io.run();
    m_server.reset();
}

void application::fail_after_start(const std::exception_ptr& error) {
    m_shutting_down = true;
    end_commands();
    stop_service(true);
    stop_iperf_server();
    fatal_error::log_exception(error);
    spdlog::error("Exiting after error");
    flush_logs_and_exit(1);
}

void application::on_listen(const boost::system::error_code& ec) {
    if (ec) {
        spdlog::error("Failed to listen on {}", m_api_socket_path.string());
        return;
    }
    spdlog::info("API server listening on {}", m_api_socket_path.string());
}

void application::start_signal_thread(int signal_fd) {
    std::thread([this, signal_fd] {
        signalfd_siginfo info{};
        ssize_t n;
        do {
            n = ::read(signal_fd, &info, sizeof info);
        } while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(sizeof info)) {
            const int signal_number = static_cast<int>(info.ssi_signo);
            post_to_loop([this, signal_number, signal_fd] { shutdown(signal_number, signal_fd); });
        } else {
            post_to_loop([signal_fd] { ::close(signal_fd); });
        }
    }).detach();
}

void application::shutdown(int signal_number, int signal_fd) {
    spdlog::info("Signal {} received, shutting down", signal_number);
    record("supervisor_stopping", "Supervisor stopping (signal " + std::to_string(signal_number) + ")",
           {{"signal", signal_number}});
    if (m_history) m_history->sync(true);
    m_shutting_down = true;
    end_commands();
    stop_iperf_server();
    // NetBird takes its tunnel down before it exits; the loop goes on meanwhile.
    stop_service_then([this, signal_fd] {
        // Requests served while NetBird stopped may have staged keys that
        // no command will run for.
        remove_stale_temporary_files();
        ::close(signal_fd);
        flush_logs_and_exit(0);
    });
}

void application::end_commands() {
    // Nothing queued runs any more, and the running command ends with its
    // whole process group instead of outliving us; then no setup key staged
    // for any of them stays on the flash.
    m_stopping.store(true, std::memory_order_release);
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        dropped.swap(m_command_queue);
    }
    dropped.clear();
    // The group only: the command leads its own, and its pid alone may
    // already have been reaped and reused.
    if (const pid_t pid = m_command_pid.load(std::memory_order_acquire); pid > 0) ::kill(-pid, SIGKILL);
    if (const pid_t pid = m_sign_in_pid.load(std::memory_order_acquire); pid > 0) ::kill(-pid, SIGKILL);
    remove_stale_temporary_files();
}

void application::wind_down() {
    // The loop ended by itself (listening failed). The worker and watchdog are
    // detached and end with the process; the children are stopped here so that
    // nothing outlives the supervisor.
    record("supervisor_stopping", "Supervisor stopping (the API socket could not be served)");
    if (m_history) m_history->sync(true);
    m_shutting_down = true;
    end_commands();
    stop_service(true);  // the loop is over: nothing waits for it
    stop_iperf_server();
}

void application::post_to_loop(std::function<void()> task) {
    // A task that fails (a completion that cannot read its archive, say) is
    // logged; the loop and every other request go on.
    boost::asio::post(*m_loop, [task = std::move(task)] {
        try {
            task();
        } catch (const std::exception& e) {
            spdlog::error("Event loop task failed: {}", e.what());
        }
    });
}
