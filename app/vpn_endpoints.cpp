// Status and VPN control endpoints: status, up (with an optional setup key),
// down, restart, reconnect and deregister.

#include "application.hpp"

#include "api_json.hpp"
#include "config_utils.hpp"
#include "text_utils.hpp"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* APP_VERSION = "1.0.0";
constexpr const char* NETBIRD_VERSION = "0.72.4";
constexpr const char* SETUP_KEY_TEMPLATE = "setup-key-XXXXXX";
constexpr mode_t SETUP_KEY_MODE = 0600;
// After a deregistration the restarted daemon gets this long to open its
// socket before the next queued command (usually a new "up") runs.
constexpr auto DAEMON_READY_WAIT = std::chrono::seconds(5);
constexpr auto DAEMON_READY_POLL = std::chrono::milliseconds(50);

void remove_quietly(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

}  // namespace

std::string application::build_status_json(int exit_code, const std::string& output, bool registered,
                                           bool pending_reconnect, bool pending_restart) const {
    nlohmann::json body = {
        {"app_version", APP_VERSION},
        {"exit_code", exit_code},
        {"netbird_version", NETBIRD_VERSION},
        {"ok", exit_code == 0},
        {"pending_reconnect", pending_reconnect},
        {"pending_restart", pending_restart},
        {"registered", registered},
    };
    auto parsed = nlohmann::json::parse(output, nullptr, false);
    if (parsed.is_discarded()) body["output"] = output;
    else body["status"] = std::move(parsed);
    return api_json::compact(body);
}

void application::api_status(const response_ptr& res, request&) {
    int exit_code = 1;
    std::string output;
    if (m_status_snapshot) {
        exit_code = m_status_snapshot->exit_code;
        output = m_status_snapshot->stdout_data.empty() ? m_status_snapshot->stderr_data
                                                         : m_status_snapshot->stdout_data;
    }
    std::error_code ec;
    const bool registered = fs::exists(m_config_path, ec);
    write_json(res,
               build_status_json(exit_code, output, registered, m_pending_reconnect.load(std::memory_order_acquire),
                                 m_pending_restart.load(std::memory_order_acquire)),
               "200 OK", true);
}

std::optional<fs::path> application::stage_setup_key(const std::string& key) const {
    std::string name = (m_data_dir / SETUP_KEY_TEMPLATE).string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return std::nullopt;
    bool ok = ::fchmod(fd, SETUP_KEY_MODE) == 0;
    for (std::size_t done = 0; ok && done < key.size();) {
        const ssize_t n = ::write(fd, key.data() + done, key.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        remove_quietly(name);
        return std::nullopt;
    }
    return fs::path(name);
}

void application::api_up(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    collect_body(res, [this, res, aborted](const std::string& body) {
        const auto form = text_utils::parse_form(body);
        // Settings given with "up" pass the same checks as POST /config;
        // a refused one stores nothing and runs nothing.
        for (const auto& [key, value] : form) {
            if (!config_utils::is_valid_config_key(key) || value.empty()) continue;
            const std::string refusal = config_utils::validate_config_value(key, value);
            if (!refusal.empty()) {
                write_json(res, api_json::error_json(refusal), "400 Bad Request", false);
                return;
            }
        }
        m_desired_up = true;
        if (!m_app_config.is_object()) m_app_config = nlohmann::json::object();
        bool stored = false;
        for (const auto& [key, value] : form) {
            if (!config_utils::is_valid_config_key(key) || value.empty()) continue;
            m_app_config[key] = config_utils::coerce_config_value(key, value);
            stored = true;
        }
        if (stored) write_json_file(m_app_config_path, m_app_config);

        auto args = build_up_args(form);
        const auto mark_flags_applied = [this](const command_result& result) {
            if (result.exit_code == 0) m_pending_reconnect.store(false, std::memory_order_release);
        };
        const auto key = form.find("setup_key");
        if (key == form.end() || key->second.empty()) {
            dispatch_command(res, aborted, std::move(args), false, nullptr, mark_flags_applied);
            return;
        }
        const auto key_file = stage_setup_key(key->second);
        if (!key_file) {
            spdlog::error("Could not stage setup-key file");
            write_json(res, api_json::error_json("Could not stage setup key"), "500 Internal Server Error", true);
            return;
        }
        args.emplace_back("--setup-key-file");
        args.push_back(key_file->string());
        // The key file goes whatever happens: after the command, or at once
        // when the queue refuses the job (then the hook never runs). Until
        // then a deregistration's wipe leaves it alone.
        m_staged_key_files.insert(*key_file);
        const auto cleanup = [this, key_file = *key_file, mark_flags_applied](const command_result& result) {
            remove_quietly(key_file);
            m_staged_key_files.erase(key_file);
            mark_flags_applied(result);
        };
        const auto on_refused = [this, key_file = *key_file] {
            remove_quietly(key_file);
            m_staged_key_files.erase(key_file);
        };
        dispatch_command(res, aborted, std::move(args), false, nullptr, cleanup, on_refused);
    });
}

void application::api_down(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    m_desired_up = false;
    m_pending_reconnect.store(false, std::memory_order_release);
    auto args = base_args_cli();
    args.emplace_back("down");
    dispatch_command(res, aborted, std::move(args), false, nullptr, nullptr);
}

void application::api_restart(const response_ptr& res, request&) {
    restart_service();
    wake_status_poller();
    write_json(res, api_json::compact({{"running", service_running()}}), "200 OK", true);
}

void application::api_reconnect(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    collect_body(res, [this, res, aborted](const std::string& body) {
        const auto form = text_utils::parse_form(body);
        m_desired_up = true;
        auto down_args = base_args_cli();
        down_args.emplace_back("down");
        auto up_args = build_up_args(form);
        auto job = [this, res = res, aborted = aborted, down_args = std::move(down_args),
                    up_args = std::move(up_args)]() mutable {
            command_result up_result;
            {
                const auto lock = lock_for_command();
                run_command(down_args, false);
                up_result = run_command(up_args, false);
            }
            post_to_loop([this, res = std::move(res), aborted = std::move(aborted), up_result = std::move(up_result)] {
                restart_service();
                wake_status_poller();
                if (up_result.exit_code == 0) m_pending_reconnect.store(false, std::memory_order_release);
                if (!aborted->load(std::memory_order_acquire))
                    write_json(res, build_json_result(up_result), "200 OK", false);
            });
        };
        if (!enqueue_command(std::move(job))) answer_busy(res, false);
    });
}

void application::wipe_after_deregister() {
    stop_service();
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(m_data_dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (const auto& entry : entries) {
        // Keys staged for commands still queued belong to those commands.
        if (entry == m_env_path || entry == m_log_dir || m_staged_key_files.count(entry) > 0) continue;
        std::error_code ignored;
        fs::remove_all(entry, ignored);
    }
    if (m_app_config.is_object()) m_app_config = nlohmann::json::object();
    m_pending_reconnect.store(false, std::memory_order_release);
    m_pending_restart.store(false, std::memory_order_release);
    start_service();
}

void application::api_deregister(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    m_desired_up = false;
    auto args = base_args_cli();
    args.emplace_back("deregister");
    // The wipe runs on the loop (it stops and starts the daemon) while the job
    // still holds the command lock, so no queued command runs in between and
    // sees half of the old state or loses its files.
    auto job = [this, res = res, aborted = aborted, args = std::move(args)]() mutable {
        const auto lock = lock_for_command();
        command_result result = run_command(args, false);
        auto wiped = std::make_shared<std::promise<void>>();
        auto done = wiped->get_future();
        post_to_loop([this, res = std::move(res), aborted = std::move(aborted), result = std::move(result), wiped] {
            wipe_after_deregister();
            wake_status_poller();
            wiped->set_value();
            if (!aborted->load(std::memory_order_acquire)) write_json(res, build_json_result(result), "200 OK", false);
        });
        done.wait();
        const auto deadline = std::chrono::steady_clock::now() + DAEMON_READY_WAIT;
        std::error_code ec;
        while (!fs::exists(m_socket_path, ec) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(DAEMON_READY_POLL);
    };
    if (!enqueue_command(std::move(job))) answer_busy(res, false);
}
