// Status and VPN control endpoints: status, up (with an optional setup key),
// down, restart, reconnect and deregister.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "settings/config_utils.hpp"
#include "netbird/command_lines.hpp"
#include "netbird/netbird_answers.hpp"
#include "core/text_utils.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* APP_VERSION = "1.0.0";
constexpr const char* NETBIRD_VERSION = "0.72.4";
constexpr const char* SETUP_KEY_TEMPLATE = "setup-key-XXXXXX";
constexpr mode_t SETUP_KEY_MODE = 0600;
// A deregistration NetBird could not complete left the peer on the server.
constexpr const char* DEREGISTER_FAILED_NOTE =
    "The management server could not be told: it may still list this peer. Remove the peer in the management "
    "server's dashboard (the local VPN state was wiped all the same).";
// A /status answer whose report is this large is sent from the poll's own
// text instead of a copy (a network of about a hundred peers and more).
constexpr std::size_t SHARED_STATUS_BYTES = 64 * 1024;
constexpr const char* NEEDS_KEY_MESSAGE = "A setup key is needed to enrol this device";
// NetBird ignores a setup key given to a peer it already knows: the device
// stays in its account, whatever the key.
constexpr const char* ALREADY_ENROLLED_MESSAGE =
    "This device is already enrolled: deregister it first to enrol it with another key";

// The answer of an up without a key that reached a device needing a login.
application::command_result needs_key_result() { return {1, "", std::string(NEEDS_KEY_MESSAGE) + "\n"}; }

void remove_quietly(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

}  // namespace

void application::api_status(const response_ptr& res, request& req) {
    const std::string peers = req.get_query("peers"), offset = req.get_query("offset"),
                      limit = req.get_query("limit"), filter = req.get_query("filter"), sort = req.get_query("sort"),
                      order = req.get_query("order"), state = req.get_query("state");
    const auto parsed = status_view::parse_query({peers, offset, limit, filter, sort, order, state});
    if (!parsed.error.empty()) {
        write_json(res, api_json::error_json(parsed.error), "400 Bad Request", true);
        return;
    }
    status_view::facts facts{enrolled(), pending_reconnect(), m_pending_restart.load(std::memory_order_acquire), {},
                             m_sign_in ? sign_in_json() : std::string()};
    facts.applied = api_json::compact(command_lines::applied_settings(m_applied_flags));
    // Before the first report, the age is the supervisor's: it has had none for that long.
    const auto report_at = m_status_snapshot ? m_status_snapshot->taken_at : m_started_at;
    facts.report_age_ms = std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - report_at).count());
    note_watching(req);
    if (auto problem = config_utils::management_url_problem(m_app_config); !problem.empty())
        facts.problems.push_back(std::move(problem));
    res->write_status("200 OK");
    res->write_header("Content-Type", "application/json");
    res->write_header("Cache-Control", "no-store");
    auto parts = status_view::answer_in_parts(m_status_snapshot.get(), facts, parsed.value, APP_VERSION,
                                              NETBIRD_VERSION);
    if (parts.shared.size() < SHARED_STATUS_BYTES) {
        res->end(std::move(parts).joined());
        return;
    }
    // A large network's report is sent from the snapshot, which the response
    // keeps alive: a new poll may replace it meanwhile.
    res->end_shared(std::move(parts.head), parts.shared, parts.tail, m_status_snapshot);
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
        // A sign-in may have started while the body came.
        if (refuse_during_sign_in(res)) return;
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
        // A stored management URL NetBird refuses fails every up: say so
        // unless this up brings a new one (checked above).
        const auto new_url = form.find("management_url");
        if (new_url == form.end() || new_url->second.empty()) {
            const std::string problem = config_utils::management_url_problem(m_app_config);
            if (!problem.empty()) {
                write_json(res, api_json::error_json(problem), "400 Bad Request", false);
                return;
            }
        }
        const auto key = form.find("setup_key");
        const bool has_key = key != form.end() && !key->second.empty();
        // Without a key NetBird would start an interactive sign-in and wait
        // for a person, holding every later command until the time limit.
        if (!has_key && !enrolled() && m_enrolments_under_way == 0) {
            write_json(res, api_json::error_json(NEEDS_KEY_MESSAGE), "400 Bad Request", false);
            return;
        }
        if (has_key && enrolled()) {
            write_json(res, api_json::error_json(ALREADY_ENROLLED_MESSAGE), "409 Conflict", false);
            return;
        }
        // Not enrolled, whatever a deregistration left of the flag behind its
        // "login needed": the login this up makes sets it, and stores it.
        if (has_key) m_enrolled = false;
        nlohmann::json updated = m_app_config.is_object() ? m_app_config : nlohmann::json::object();
        bool stored = false;
        for (const auto& [name, value] : form) {
            if (!config_utils::is_valid_config_key(name) || value.empty()) continue;
            updated[name] = config_utils::coerce_config_value(name, value);
            stored = true;
        }
        if (stored && !m_tunnel_state_stored) store_tunnel_state();
        if (stored && !write_json_file(m_app_config_path, updated)) {
            write_json(res, api_json::error_json("Could not save the settings"), "500 Internal Server Error", false);
            return;
        }
        m_app_config = std::move(updated);
        // The wish stands only if the queue takes the command.
        const bool wished = m_desired_up;
        set_desired_up(true);

        // NetBird applies nothing to a tunnel that is already connected: what
        // changed since it came up is brought into effect by a down and an up.
        const bool to_apply = tunnel_flags() != m_applied_flags || form.count("enable_lazy_connection") > 0;
        auto args = build_up_args(form);
        const auto mark_flags_applied = [this, to_apply, flags = tunnel_flags()](const command_result& result) {
            if (result.exit_code != 0) return;
            note_enrolment(true);  // NetBird accepted the login, whatever the last report said
            if (!(to_apply && netbird_answers::up_was_already_connected(result.stdout_data))) set_applied_flags(flags);
        };
        std::optional<path> key_file;
        if (has_key) {
            key_file = stage_setup_key(key->second);
            if (!key_file) {
                spdlog::error("Could not stage setup-key file");
                write_json(res, api_json::error_json("Could not stage setup key"), "500 Internal Server Error", true);
                return;
            }
            args.emplace_back("--setup-key-file");
            args.push_back(key_file->string());
            // Until the command ends a deregistration's wipe leaves it alone.
            m_staged_key_files.insert(*key_file);
            ++m_enrolments_under_way;
        }
        auto down_args = base_args_cli();
        down_args.emplace_back("down");
        // A key queued behind an up that enrolled the device would be ignored.
        const auto ignored_key = std::make_shared<bool>(false);
        auto run = [this, args = std::move(args), down_args = std::move(down_args), to_apply, has_key, ignored_key,
                    logins_at = m_logins.load(std::memory_order_acquire)] {
            // An up queued behind an enrolment that failed: NetBird would wait for a sign-in.
            if (!has_key && m_needs_login.load(std::memory_order_acquire)) return needs_key_result();
            if (has_key && logins_at != m_logins.load(std::memory_order_acquire) &&
                !m_needs_login.load(std::memory_order_acquire)) {
                *ignored_key = true;
                return command_result{1, "", std::string(ALREADY_ENROLLED_MESSAGE) + "\n"};
            }
            // NetBird's up waits without end on a connect loop that has never
            // connected, and a refused login holds it too: a down ends either,
            // so that what this up carries (a corrected management URL, a key)
            // reaches the daemon.
            bool took_down = false;
            if (m_connect_stuck.load(std::memory_order_acquire)) {
                spdlog::info("NetBird is connecting or its login failed: taking it down before the up");
                run_command(down_args, false);
                took_down = true;
            }
            auto result = run_command(args, false);
            if (to_apply && result.exit_code == 0 && netbird_answers::up_was_already_connected(result.stdout_data)) {
                spdlog::info("Taking the connected tunnel down and up again to apply the changed settings");
                run_command(down_args, false);
                took_down = true;
                result = run_command(args, false);
            }
            // The down ended NetBird's own connect loop, and the up that failed
            // (its server out of reach) started none: a restarted daemon
            // connects by itself once the server answers again.
            if (took_down && result.exit_code != 0) {
                spdlog::info("The up after a down failed: restarting NetBird so that it keeps trying to connect");
                restart_daemon_in_turn(nullptr);
            }
            // Here, not in the loop's hook: the next queued up may run first.
            if (result.exit_code == 0) {
                note_logged_in();
                m_connect_stuck.store(false, std::memory_order_release);
            }
            return result;
        };
        // The key file goes whatever happens: after the command, or at once
        // when the queue refuses the job (then the hook never runs).
        const auto forget_key = [this, key_file] {
            if (!key_file) return;
            remove_quietly(*key_file);
            m_staged_key_files.erase(*key_file);
            --m_enrolments_under_way;
        };
        command_job job;
        job.by_user = true;
        job.run = std::move(run);
        job.after = [this, forget_key, mark_flags_applied](const command_result& result) {
            forget_key();
            mark_flags_applied(result);
            record_command("up", result);
        };
        job.answer = [this, ignored_key](const response_ptr& answered, const command_result& result) {
            if (*ignored_key)
                write_json(answered, api_json::error_json(ALREADY_ENROLLED_MESSAGE), "409 Conflict", false);
            else
                write_json(answered, build_json_result(result), "200 OK", false);
        };
        job.refused = [this, forget_key, wished] {
            forget_key();
            set_desired_up(wished);
        };
        dispatch(res, aborted, std::move(job));
    });
}

void application::api_down(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    const bool wished = m_desired_up;
    set_desired_up(false);
    auto args = base_args_cli();
    args.emplace_back("down");
    auto job = run_job(std::move(args));
    job.by_user = true;
    job.after = [this](const command_result& result) { record_command("down", result); };
    job.refused = [this, wished] { set_desired_up(wished); };
    dispatch(res, aborted, std::move(job));
}

void application::api_restart(const response_ptr& res, request&) {
    // In turn, behind the running command: never in the middle of one.
    auto job = daemon_restart_job("asked for");
    job.by_user = true;
    job.after = [this](const command_result& result) { record_command("restart", result); };
    job.answer = [this](const response_ptr& answered, const command_result& result) {
        write_json(answered, api_json::compact({{"running", result.exit_code == 0}}), "200 OK", true);
    };
    job.no_store = true;
    dispatch(res, make_abort_guard(res), std::move(job));
}

void application::api_reconnect(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    collect_body(res, [this, res, aborted](const std::string& body) {
        if (refuse_during_sign_in(res)) return;
        const auto form = text_utils::parse_form(body);
        // A reconnect brings the tunnel up without a key: see api_up.
        if (!enrolled() && m_enrolments_under_way == 0) {
            write_json(res, api_json::error_json(NEEDS_KEY_MESSAGE), "400 Bad Request", false);
            return;
        }
        const bool wished = m_desired_up;
        set_desired_up(true);
        auto down_args = base_args_cli();
        down_args.emplace_back("down");
        auto up_args = build_up_args(form);
        command_job job;
        job.by_user = true;
        job.run = [this, down_args = std::move(down_args), up_args = std::move(up_args)] {
            run_command(down_args, false);
            auto result = m_needs_login.load(std::memory_order_acquire) ? needs_key_result() : run_command(up_args, false);
            if (result.exit_code == 0) note_logged_in();
            // Last, under the same lock: the new daemon reads what the up stored, with the current environment.
            restart_daemon_in_turn(nullptr);
            return result;
        };
        job.after = [this, flags = tunnel_flags()](const command_result& result) {
            record_command("reconnect", result);
            if (result.exit_code == 0) set_applied_flags(flags);
        };
        job.refused = [this, wished] { set_desired_up(wished); };
        dispatch(res, aborted, std::move(job));
    });
}

void application::wipe_after_deregister() {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(m_data_dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (const auto& entry : entries) {
        // Keys staged for commands still queued belong to those commands.
        // The history is diagnostics, like the logs: it tells what led to this.
        if (entry == m_env_path || entry == m_log_dir || entry == m_history_path ||
            m_staged_key_files.count(entry) > 0)
            continue;
        std::error_code ignored;
        fs::remove_all(entry, ignored);
    }
    if (m_app_config.is_object()) m_app_config = nlohmann::json::object();
    m_applied_flags = tunnel_flags();  // its record went with the wipe
    m_pending_restart.store(false, std::memory_order_release);
    // The daemon starting again writes a fresh configuration file: the
    // device is no longer enrolled whatever that file's presence suggests.
    m_daemon_status = "NeedsLogin";
    m_needs_login.store(true, std::memory_order_release);
    m_desired_up = false;
    // Stored at once: a daemon that reports Connecting (its server out of
    // reach) or a reboot before the first report must not find it enrolled.
    m_enrolled = false;
    store_tunnel_state();
}

void application::api_deregister(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    const bool wished = m_desired_up;
    set_desired_up(false);
    auto args = base_args_cli();
    args.emplace_back("deregister");
    // The wipe runs on the loop between the daemon's graceful stop and its
    // new start, while the job still holds the command lock: no queued
    // command runs in between and sees half of the old state or loses its
    // files, nor before the new daemon listens.
    command_job job;
    job.by_user = true;
    job.run = [this, args = std::move(args)] {
        auto result = run_command(args, false);
        restart_daemon_in_turn([this, result] {
            record_command("deregister", result);
            wipe_after_deregister();
        });
        return result;
    };
    // The local wipe happens whatever NetBird answered; the server's list of
    // peers is another matter.
    job.answer = [this](const response_ptr& answered, const command_result& result) {
        const std::string output = result.exit_code == 0
                                       ? result.combined()
                                       : std::string(DEREGISTER_FAILED_NOTE) + "\n" + result.combined();
        write_json(answered, build_json_result(result.exit_code, output), "200 OK", false);
    };
    job.refused = [this, wished] { set_desired_up(wished); };
    dispatch(res, aborted, std::move(job));
}
