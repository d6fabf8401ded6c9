#pragma once
// The one object of the system: paths, persisted state, the NetBird daemon and
// its commands, the watchdog, the HTTP API and the iperf3 test server.
// Its member functions are implemented in one source file per role.

#include "history/history_log.hpp"
#include "http/http_server.hpp"
#include "netbird/command_job.hpp"
#include "netbird/status_report.hpp"
#include "api/status_view.hpp"

#include <memory>  // before the process headers, which need it

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/process/child.hpp>
#include <boost/process/pipe.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/logger.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

// What a sign-in's own thread and the loop share (app/netbird/sign_in.cpp).
struct sign_in_control;

class application {
public:
    using command_result = ::command_result;

    using path = std::filesystem::path;
    using response_ptr = httpd::response_ptr;
    using request = httpd::http_request;
    using form_map = std::map<std::string, std::string>;
    using abort_flag = std::shared_ptr<std::atomic<bool>>;

    explicit application(const std::string& app_name);
    application(const application&) = delete;
    application& operator=(const application&) = delete;

    // Lifecycle.
    void setup_file_logging();
    void run();

    // JSON files: reading always yields an object; writing replaces the file
    // atomically and logs a failure instead of throwing (false then: the file
    // holds what it held before). The overrides may hold secrets (a
    // pre-shared key, a token): their file is the owner's alone.
    nlohmann::json read_json_file(const path& file) const;
    bool write_json_file(const path& file, const nlohmann::json& value) const;

    // The hourly heartbeat line and log upkeep (pruning and compression), run
    // by the watchdog; public so that an hour's upkeep can be checked without
    // waiting an hour.
    void log_heartbeat(bool management_connected);

private:
    // Paths and persisted state.
    void init_paths();
    void ensure_data_dir() const;
    void load_state();
    void remove_stale_temporary_files() const;

    // Main loop and shutdown.
    void start_serving();
    // A start-up step failed after the daemon was started: the children are
    // ended and the process exits 1 without unwinding the object under the
    // threads that may already use it.
    [[noreturn]] void fail_after_start(const std::exception_ptr& error);
    void on_listen(const boost::system::error_code& ec);
    void start_signal_thread(int signal_fd);
    void shutdown(int signal_number, int signal_fd);
    void end_commands();
    void wind_down();

    // Logging.
    std::string log_level() const;
    void apply_log_level(const std::string& level) const;
    void prune_daily_logs(int retention_days) const;
    void compress_daily_logs() const;

    // Settings.
    int wireguard_port() const;
    std::string external_ip_map() const;
    int mtu() const;
    std::string interface_name() const;
    bool watchdog_enabled() const;
    int watchdog_timeout_seconds() const;
    int log_retention_days() const;
    std::string build_config_json() const;
    // The settings report, built again only when the settings changed.
    const std::string& config_report() const;
    void api_config_get(const response_ptr& res, request& req);
    void api_config_set(const response_ptr& res, request& req);

    // NetBird environment.
    std::vector<std::pair<std::string, std::string>> system_env() const;
    std::map<std::string, std::string> build_command_env() const;
    void api_env_get(const response_ptr& res, request& req);
    void api_env_set(const response_ptr& res, request& req);

    // NetBird commands.
    command_result run_command(const std::vector<std::string>& args, bool quiet) const;
    command_result run_command(const std::vector<std::string>& args, bool quiet, const command_limits& limits) const;
    std::vector<std::string> base_args_cli() const;
    std::vector<std::string> base_args_service() const;
    std::vector<std::string> build_up_args(const form_map& form) const;

    // The tunnel options and management URL as an up passes them, then the
    // overrides of up's own flags as NAME=value (application_env.cpp).
    std::vector<std::string> tunnel_flags() const;
    // Settings that reach NetBird only with the next up differ from the ones
    // it applied, while the tunnel is wanted up. Setting a value back clears it.
    bool pending_reconnect() const { return tunnel_wanted_up() && tunnel_flags() != m_applied_flags; }

    // Enrolment and the user's wish.
    // Enrolled: NetBird accepted a login (an up succeeded, or a report showed
    // it connected or its management server connected), and nothing since
    // says it needs one (NeedsLogin, a deregistration). Kept in tunnel.json.
    bool enrolled() const;
    // A report showed the device enrolled, or needing a login (loop thread).
    void note_enrolment(bool enrolled);
    // The tunnel is wanted up on an enrolled device.
    bool tunnel_wanted_up() const { return m_desired_up && enrolled(); }
    // The user's wish and the options NetBird last applied, kept across
    // restarts in tunnel.json.
    void load_tunnel_state();
    void store_tunnel_state();
    void set_desired_up(bool wanted);
    void set_applied_flags(std::vector<std::string> flags);

    // Daemon supervision.
    bool start_service();
    // A daemon started on an enrolled device connects by itself: when the
    // tunnel is wanted down, a queued "down" takes it down again (after each
    // start, and whenever a status report shows it up regardless); `why`
    // goes to the history.
    void keep_tunnel_down(const char* why);
    // An up succeeded: the device is enrolled (any thread).
    void note_logged_in() {
        m_needs_login.store(false, std::memory_order_release);
        m_logins.fetch_add(1, std::memory_order_acq_rel);
    }
    // Ends the daemon at once or, `gracefully`, after asking it to end and
    // giving it up to 5 s (blocking: only where no loop serves anything).
    void stop_service(bool gracefully = false);
    // Loop thread: asks the daemon to end (SIGTERM), gives it up to 5 s to
    // take its tunnel down (a timer looks, the loop goes on), then kills what
    // is left; `then` runs once it is gone (at once when none runs).
    void stop_service_then(std::function<void()> then);
    void poll_daemon_stop(std::chrono::steady_clock::time_point deadline);
    // Queues a daemon restart as a command job (false when the queue is full:
    // try again later). `reason` goes to the log; the caller records history.
    bool queue_daemon_restart(std::string reason);
    // The job of a daemon restart; its result says whether a daemon runs.
    command_job daemon_restart_job(std::string reason);
    // Worker thread, under the command lock: has the loop stop the daemon
    // gracefully, run `between` there, start a new one, and waits until it
    // listens. True when a daemon runs.
    bool restart_daemon_in_turn(std::function<void()> between);
    void service_log_reader();
    void stop_log_capture();
    void check_service_exit();
    // The daemon's output ended: looks for its exit for a moment, so that a
    // crash is met at once rather than at the next poll (loop thread).
    void watch_daemon_exit(int looks_left);
    // When the daemon is started again after it exited (loop thread).
    void schedule_service_start(std::chrono::steady_clock::time_point at);
    // Records an exit; `quick_exits` counts the exits in a row that came soon
    // after their start (0 for this one if it ran longer): from the second on
    // they are one crash loop with a count, not an event per exit.
    void record_daemon_exit(std::string text, const std::string& cause, nlohmann::json facts, int quick_exits,
                            std::chrono::seconds next_start_in);
    bool service_running();
    void write_daemon_pid_file(pid_t pid) const;
    void end_leftover_daemon() const;

    // Command queue.
    bool enqueue_command(std::function<void()> job);
    // Takes m_command_mutex for a queued job; the status poll stands back
    // while a job waits for it, so polls cannot starve the queue.
    std::unique_lock<std::mutex> lock_for_command();
    void command_worker_loop();
    // Queues a job (see command_job.hpp); `res` is null for the supervisor's
    // own commands, which nobody waits for. False when the queue was full.
    bool dispatch(const response_ptr& res, const abort_flag& aborted, command_job job);
    // The job of one command line.
    command_job run_job(std::vector<std::string> args);
    abort_flag make_abort_guard(const response_ptr& res);
    // "503 Service Unavailable" for a job the full queue refused.
    void answer_busy(const response_ptr& res, bool no_store) const;
    static std::string build_json_result(int exit_code, const std::string& output);
    static std::string build_json_result(const command_result& result);
    // Runs `on_complete` on the event loop with the body once the whole request body is in.
    void collect_body(const response_ptr& res, std::function<void(const std::string& body)> on_complete);
    void post_to_loop(std::function<void()> task);

    // Watchdog.
    void start_watchdog();
    void watchdog_loop();
    // One cycle: looks for the daemon's exit, polls when `poll`, writes the heartbeat when `heartbeat`.
    void watchdog_cycle(bool poll, bool heartbeat, bool& last_healthy);
    // Keeps the status polls fast until `until`, never shortening them (loop thread).
    void keep_polls_fast_until(std::chrono::steady_clock::time_point until);
    // A read of /status or /history: one that passes the cross-site check
    // means someone watches, which keeps the polls fast; the first after a
    // quiet spell also wakes the poller (loop thread).
    void note_watching(const request& req);
    std::optional<command_result> poll_status();
    // The status command under the lock, waiting its turn: queued jobs wait
    // until it has run.
    command_result poll_status_in_turn(const std::vector<std::string>& args);
    void on_health_probe(status_report::tunnel_health health);
    void wake_status_poller();

    // Connection history.
    // Records an event (loop thread, or start-up before the loop runs).
    void record(std::string kind, std::string text, nlohmann::json facts = nlohmann::json::object());
    // Records what changed since the last status report.
    // failure: what the poll said when it gave no summary (its error text).
    void note_status_report(const std::optional<status_report::status_summary>& summary, const std::string& failure);
    void record_command(const char* command, const command_result& result);
    // Whether what happens to the tunnel now is the user's doing: one of
    // their commands or a sign-in is under way, or one ended and NetBird has
    // not settled since (loop thread).
    bool asked_now() const;
    void end_user_command();
    void api_history(const response_ptr& res, request& req);

    // VPN control and status.
    std::optional<path> stage_setup_key(const std::string& key) const;
    void api_status(const response_ptr& res, request& req);
    void api_up(const response_ptr& res, request& req);
    void api_down(const response_ptr& res, request& req);
    void api_restart(const response_ptr& res, request& req);
    void api_reconnect(const response_ptr& res, request& req);
    void api_deregister(const response_ptr& res, request& req);
    void wipe_after_deregister();

    // The interactive sign-in (an account instead of a setup key): NetBird's
    // up without a key waits for a person far longer than any command, so it
    // runs on a thread of its own once it has printed its link, and every
    // other NetBird command is refused until it ends (loop thread).
    void api_login(const response_ptr& res, request& req);
    void api_login_cancel(const response_ptr& res, request& req);
    bool sign_in_under_way() const;
    // 409 "A sign-in is under way" for a NetBird command; true when answered.
    bool refuse_during_sign_in(const response_ptr& res) const;
    // The sign-in as /status and the sign-in routes tell it (JSON; "null" when none).
    std::string sign_in_json() const;
    // Sign-in thread: runs NetBird's up, tells the loop its link and its end.
    void run_sign_in(std::vector<std::string> args, std::vector<std::string> down_args,
                     std::shared_ptr<sign_in_control> control);
    void follow_sign_in(std::vector<std::string> args, std::vector<std::string> down_args,
                        const std::shared_ptr<sign_in_control>& control);
    void show_sign_in_link(const std::shared_ptr<sign_in_control>& control, std::string url, std::string code);
    void finish_sign_in(const std::shared_ptr<sign_in_control>& control, std::string outcome, std::string message);
    // `cancelling`: the waiters asked for a cancel, which a cancelled end fulfils.
    void answer_sign_in_waiters(std::vector<std::pair<response_ptr, abort_flag>>& waiters, bool cancelling);
    // A sign-in that a stop or crash of the supervisor cut short is recorded
    // once, at the next start.
    void note_interrupted_sign_in();

    // HTTP frame.
    void setup_routes(httpd::router& routes);
    void write_json(const response_ptr& res, std::string_view body, const char* status, bool no_store) const;
    // A request that changes something is answered 403 when another site's
    // page sent it, and 415 when its body is no form; true when answered.
    bool refuse_foreign_request(const response_ptr& res, const request& req);

    // Logs and storage.
    std::optional<path> resolve_log_file(std::string_view source, std::string_view name) const;
    std::string build_logs_list_json() const;
    std::string build_storage_json() const;
    void api_logs_tail(const response_ptr& res, request& req);
    void api_logs_list(const response_ptr& res, request& req);
    void api_logs_download(const response_ptr& res, request& req);
    void api_storage(const response_ptr& res, request& req);

    // Debug bundles.
    void api_debug_bundle(const response_ptr& res, request& req);
    void api_debug_bundle_upload(const response_ptr& res, request& req);
    static std::string build_debug_upload_json(const command_result& result);

    // iperf3 test server.
    bool start_iperf_server(int port, int idle_timeout, bool one_shot);
    void stop_iperf_server();
    void iperf_log_reader();
    void reap_iperf_if_exited();
    std::string iperf_status_json();
    void api_iperf_start(const response_ptr& res, request& req);
    void api_iperf_stop(const response_ptr& res, request& req);
    void api_iperf_status(const response_ptr& res, request& req);

    std::string m_app_name;
    path m_app_dir;
    path m_data_dir;
    path m_netbird_path;
    path m_iperf3_path;
    path m_config_path;
    path m_log_path;
    path m_log_dir;
    path m_socket_path;
    path m_api_socket_path;
    path m_env_path;
    path m_app_config_path;
    path m_daemon_pid_path;
    path m_wish_path;
    path m_history_path;

    std::optional<boost::process::child> m_service_process;
    std::unique_ptr<boost::process::ipstream> m_service_stderr;
    std::thread m_service_log_thread;
    std::shared_ptr<spdlog::logger> m_netbird_file_logger;
    std::string m_service_start_error;  // the last failure to start, logged once
    std::chrono::steady_clock::time_point m_service_retry_at{};
    std::chrono::seconds m_service_retry_delay{5};
    // The daemon's start, its exits in a row soon after their start, and the
    // last crash-loop count recorded and when (loop thread).
    std::chrono::steady_clock::time_point m_service_started_at{};
    int m_quick_exits = 0;
    std::chrono::steady_clock::time_point m_crash_loop_recorded_at{};
    // A graceful stop is under way, and what runs once it is over (loop thread).
    bool m_daemon_stopping = false;
    std::vector<std::function<void()>> m_after_daemon_stop;

    std::optional<boost::process::child> m_iperf_process;
    std::unique_ptr<boost::process::ipstream> m_iperf_output_stream;
    std::thread m_iperf_log_thread;
    std::mutex m_iperf_mutex;
    std::deque<std::string> m_iperf_output;
    int m_iperf_port = 0;
    std::chrono::steady_clock::time_point m_iperf_started_at{};

    std::map<std::string, std::string> m_env_overrides;
    nlohmann::json m_app_config;
    mutable nlohmann::json m_config_report_source;  // the settings config_report() was built from
    mutable std::optional<std::string> m_config_report;

    // Sockets and timers are used by the loop thread alone (other threads only
    // post tasks), so the reactor's per-descriptor locks can go.
    boost::asio::io_context m_io{BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO};
    boost::asio::io_context* m_loop = nullptr;
    std::unique_ptr<httpd::server> m_server;
    // The daemon's graceful stop, its start after an exit, and the look for
    // its exit when its output ends (loop thread).
    boost::asio::steady_timer m_daemon_stop_timer{m_io};
    boost::asio::steady_timer m_service_start_timer{m_io};
    boost::asio::steady_timer m_exit_watch_timer{m_io};

    std::mutex m_command_mutex;
    std::atomic<int> m_commands_waiting{0};
    // The running NetBird command (one at a time, under m_command_mutex), 0 when none.
    mutable std::atomic<pid_t> m_command_pid{0};
    // Set by shutdown: no further command starts.
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_env_mutex;
    std::thread m_command_thread;
    std::deque<std::function<void()>> m_command_queue;
    std::mutex m_queue_mutex;
    std::condition_variable m_queue_cv;

    // The last status poll as GET /status answers it: built on the watchdog
    // thread, swapped in on the loop (loop thread).
    std::shared_ptr<const status_view::snapshot> m_status_snapshot;
    // The daemon's own state from its latest status report (loop thread).
    std::optional<std::string> m_daemon_status;
    // The connection history, and what the last status report said (loop thread).
    std::unique_ptr<history_log> m_history;
    std::optional<status_report::status_summary> m_last_report;
    bool m_report_failed = false;
    int m_user_commands = 0;  // queued or running
    std::chrono::steady_clock::time_point m_asked_until{};
    std::optional<std::int64_t> m_peers_recorded;
    std::chrono::steady_clock::time_point m_peers_recorded_at{};
    // Consecutive polls that stood back for queued commands (watchdog thread).
    int m_skipped_polls = 0;
    // A status poll waits for its turn: queued jobs let it go first.
    std::mutex m_poll_turn_mutex;
    std::condition_variable m_poll_turn_cv;
    bool m_poll_due = false;
    std::mutex m_poll_mutex;
    std::condition_variable m_poll_cv;
    bool m_poll_wake = false;
    // Status polls run every 5 s until this steady-clock time (as a count),
    // every 30 s after it (app/netbird/poll_cadence.hpp): written by the loop
    // alone, which knows the facts, read by the watchdog.
    std::atomic<std::chrono::steady_clock::rep> m_fast_polls_until{0};

    // Setup keys staged for "up" commands that have not ended (loop thread only).
    std::set<path> m_staged_key_files;
    // Ups with a key queued or running: one without a key behind them is
    // taken, the device being enrolled by then (loop thread only).
    int m_enrolments_under_way = 0;
    // A "down" that keeps the tunnel down is queued (loop thread only).
    bool m_keeping_down = false;
    // The device is known to need a login (NetBird said NeedsLogin, or it
    // was deregistered): read by queued ups, which have no key then.
    std::atomic<bool> m_needs_login{false};
    // Counts successful ups: a report polled before one of them may not
    // say "needs a login" any more.
    std::atomic<std::uint64_t> m_logins{0};
    // NetBird accepted a login, as enrolled() tells (loop thread).
    bool m_enrolled = false;
    // The last report says the daemon is connecting or its login failed: an
    // up would wait on it, so a down goes first (read by queued ups).
    std::atomic<bool> m_connect_stuck{false};
    // The last sign-in (loop thread), what its thread shares, whether one was
    // under way when the supervisor last stopped (stored in tunnel.json), and
    // the clients waiting for a cancel to take effect.
    struct sign_in_facts {
        std::string phase;    // "starting", "waiting" or "ended"
        std::string url;
        std::string code;
        std::chrono::steady_clock::time_point deadline{};
        std::string outcome;  // once ended
        std::string message;
    };
    std::optional<sign_in_facts> m_sign_in;
    std::shared_ptr<sign_in_control> m_sign_in_control;
    bool m_sign_in_was_under_way = false;
    std::vector<std::pair<response_ptr, abort_flag>> m_sign_in_starts;
    std::vector<std::pair<response_ptr, abort_flag>> m_sign_in_cancels;
    // The running sign-in command, 0 when none: the shutdown ends it.
    std::atomic<pid_t> m_sign_in_pid{0};
    // When the user last changed the wish: a status report taken before
    // that says nothing of what NetBird did after (loop thread only).
    std::chrono::steady_clock::time_point m_wish_changed_at{};

    bool m_shutting_down = false;
    bool m_signals_blocked = false;
    bool m_desired_up = false;
    // The tunnel options NetBird last applied (an up that connected); at start,
    // the stored ones, which NetBird's own configuration holds (loop thread).
    std::vector<std::string> m_applied_flags;
    bool m_tunnel_state_stored = false;  // tunnel.json records the applied options
    std::atomic<bool> m_pending_restart{false};
    std::chrono::steady_clock::time_point m_started_at{};
    std::optional<std::chrono::steady_clock::time_point> m_unhealthy_since;
    // Cross-site refusals since the last warning, and when that was: a page
    // that keeps posting must not fill the flash with warnings (loop thread).
    std::uint64_t m_cross_site_refusals = 0;
    std::optional<std::chrono::steady_clock::time_point> m_cross_site_warned_at;
};
