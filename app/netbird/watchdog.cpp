// The watchdog: looks for the daemon's exit every 5 s, polls NetBird's status
// every 5 s while it matters and every 30 s otherwise (poll_cadence), keeps
// the snapshot served by /status, restarts a daemon that exited, or that has
// not been connected, or carried nothing without its management server, for
// too long, and writes the hourly heartbeat.

#include "core/application.hpp"

#include "api/request_origin.hpp"
#include "netbird/netbird_answers.hpp"
#include "netbird/poll_cadence.hpp"
#include "netbird/status_report.hpp"
#include "core/text_utils.hpp"

#include <spdlog/spdlog.h>

namespace {

// The cycle, which looks for the daemon's exit, is the fast poll's.
constexpr auto CYCLE_INTERVAL = poll_cadence::FAST_INTERVAL;
// A poll stands back while commands wait for the lock, but not for more
// cycles than this in a row: the snapshot would go stale under steady traffic.
constexpr int MAX_SKIPPED_POLLS = 2;
constexpr auto HEARTBEAT_INTERVAL = std::chrono::hours(1);

}  // namespace

void application::start_watchdog() {
    m_started_at = std::chrono::steady_clock::now();
    std::thread([this] { watchdog_loop(); }).detach();
}

void application::watchdog_loop() {
    using clock = std::chrono::steady_clock;
    auto next = clock::now();
    auto next_heartbeat = next + HEARTBEAT_INTERVAL;
    std::optional<clock::time_point> last_poll;
    bool last_healthy = true;
    while (true) {
        bool woken = false;
        {
            std::unique_lock<std::mutex> lock(m_poll_mutex);
            m_poll_cv.wait_until(lock, next, [this] { return m_poll_wake; });
            woken = m_poll_wake;
            m_poll_wake = false;
        }
        const auto now = clock::now();
        next = now + CYCLE_INTERVAL;
        bool commands_pending = m_commands_waiting.load(std::memory_order_acquire) > 0 ||
                                m_command_pid.load(std::memory_order_acquire) != 0;
        if (!commands_pending) {
            std::lock_guard<std::mutex> lock(m_queue_mutex);
            commands_pending = !m_command_queue.empty();
        }
        // A wake (a command ended, a page came back) asks for a fresh report now.
        const clock::time_point fast_until{clock::duration(m_fast_polls_until.load(std::memory_order_acquire))};
        const bool poll = woken || poll_cadence::poll_due(now, last_poll, fast_until, commands_pending);
        if (poll) last_poll = now;
        const bool heartbeat = now >= next_heartbeat;
        if (heartbeat) next_heartbeat += HEARTBEAT_INTERVAL;
        // A cycle that fails (out of memory, say) is logged; the watchdog
        // goes on with the next one.
        try {
            watchdog_cycle(poll, heartbeat, last_healthy);
        } catch (const std::exception& e) {
            spdlog::error("Watchdog cycle failed: {}", e.what());
        } catch (...) {
            spdlog::error("Watchdog cycle failed");
        }
    }
}

void application::watchdog_cycle(bool poll, bool heartbeat, bool& last_healthy) {
    post_to_loop([this] { check_service_exit(); });
    const auto polled_at = std::chrono::steady_clock::now();
    const auto logins_before = m_logins.load(std::memory_order_acquire);
    if (auto result = poll ? poll_status() : std::nullopt) {
        // Read once, here, off the loop: the loop gets the text GET /status
        // answers with and the few facts it acts on, never the document.
        const bool healthy_exit = result->exit_code == 0;
        const bool from_stdout = !result->stdout_data.empty();
        auto last = std::make_shared<status_view::snapshot>();
        last->taken_at = std::chrono::steady_clock::now();
        last->exit_code = result->exit_code;
        std::string& text = from_stdout ? result->stdout_data : result->stderr_data;
        last->report = status_report::read(text);
        std::optional<status_report::status_summary> summary;
        std::string failure;
        if (healthy_exit && from_stdout && last->report && last->report->text.front() == '{')
            summary = last->report->summary;
        else
            failure = result->stderr_data.empty() ? result->stdout_data : result->stderr_data;
        if (!last->report) last->output = std::move(text);
        const auto health = status_report::health_of(summary);
        last_healthy = health == status_report::tunnel_health::good;
        result.reset();
        post_to_loop([this, health, last = std::shared_ptr<const status_view::snapshot>(std::move(last)),
                      summary = std::move(summary), failure = std::move(failure), polled_at, logins_before]() mutable {
            note_status_report(summary, failure);
            m_status_snapshot = std::move(last);
            // A report polled before an up succeeded says nothing of the login it made.
            const bool before_login = logins_before != m_logins.load(std::memory_order_acquire);
            // A failed poll (no daemon) says nothing of the enrolment: the last report stands.
            if (summary && summary->daemon_status) {
                m_daemon_status = summary->daemon_status;
                if (!before_login) {
                    const bool needs_login = netbird_answers::is_unenrolled_state(*m_daemon_status);
                    m_needs_login.store(needs_login, std::memory_order_release);
                    if (needs_login) note_enrolment(false);
                }
            }
            if (summary && status_report::shows_enrolment(*summary)) note_enrolment(true);
            // An up would wait on a daemon that is connecting (between its
            // retries every status fails so) or whose login failed.
            // A daemon that does not answer at all leaves it as it was.
            if (!before_login && summary && summary->daemon_status)
                m_connect_stuck.store(netbird_answers::is_stuck_state(*summary->daemon_status),
                                      std::memory_order_release);
            else if (!before_login && !summary && netbird_answers::is_connect_retry(failure))
                m_connect_stuck.store(true, std::memory_order_release);
            // The daemon also brings the tunnel up by itself when its start
            // came before the "down" could reach it. A report taken before
            // the user changed the wish tells nothing of this.
            if ((m_daemon_status == "Connected" || m_daemon_status == "Connecting") && polled_at > m_wish_changed_at)
                keep_tunnel_down("NetBird connected by itself");
            on_health_probe(health);
            // Until the tunnel is steady again, the next report comes from a fast poll.
            if (!poll_cadence::steady(summary, tunnel_wanted_up(), sign_in_under_way()))
                keep_polls_fast_until(std::chrono::steady_clock::now() + poll_cadence::UNSTEADY_HOLD);
            if (m_history) m_history->sync();
        });
    }
    if (heartbeat) post_to_loop([this, healthy = last_healthy] { log_heartbeat(healthy); });
}

void application::keep_polls_fast_until(std::chrono::steady_clock::time_point until) {
    const auto count = until.time_since_epoch().count();
    if (count > m_fast_polls_until.load(std::memory_order_relaxed))
        m_fast_polls_until.store(count, std::memory_order_release);
}

void application::note_watching(const request& req) {
    // Another site's page cannot read the answer: its reads must not cost the camera fast polls.
    if (!request_origin::cross_site_refusal(req.marks).empty()) return;
    const auto now = std::chrono::steady_clock::now();
    const bool quiet = now.time_since_epoch().count() >= m_fast_polls_until.load(std::memory_order_relaxed);
    keep_polls_fast_until(now + poll_cadence::WATCHED_FOR);
    // The answer goes out at once with the report there is, and its age; a fresh one follows.
    if (quiet) wake_status_poller();
}

std::optional<application::command_result> application::poll_status() {
    std::vector<std::string> args = base_args_cli();
    args.emplace_back("status");
    args.emplace_back("--json");
    // A job waiting for the mutex goes first (a status command that hangs
    // until its time-out must not be followed at once by another one), but
    // only for a few cycles in a row.
    if (m_commands_waiting.load(std::memory_order_acquire) == 0) {
        std::unique_lock<std::mutex> lock(m_command_mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            m_skipped_polls = 0;
            return run_command(args, true);
        }
    }
    if (++m_skipped_polls <= MAX_SKIPPED_POLLS) return std::nullopt;
    m_skipped_polls = 0;
    return poll_status_in_turn(args);
}

application::command_result application::poll_status_in_turn(const std::vector<std::string>& args) {
    {
        std::lock_guard<std::mutex> turn(m_poll_turn_mutex);
        m_poll_due = true;
    }
    command_result result;
    {
        // The running command ends first; the queued ones wait for this poll.
        std::lock_guard<std::mutex> lock(m_command_mutex);
        {
            std::lock_guard<std::mutex> turn(m_poll_turn_mutex);
            m_poll_due = false;
        }
        m_poll_turn_cv.notify_all();
        result = run_command(args, true);
    }
    return result;
}

void application::on_health_probe(status_report::tunnel_health health) {
    using status_report::tunnel_health;
    // A device that never enrolled (or needs a login) has nothing a restart
    // could bring back: its daemon would only say Connecting again.
    // A sign-in waits for a person: a restart would end it.
    if (m_shutting_down || !watchdog_enabled() || !tunnel_wanted_up() || sign_in_under_way()) {
        m_unhealthy_since.reset();
        return;
    }
    const auto timeout = std::chrono::seconds(watchdog_timeout_seconds());
    const auto now = std::chrono::steady_clock::now();
    if (now - m_started_at < timeout) {
        if (health != tunnel_health::failing) m_unhealthy_since.reset();
        return;
    }
    if (health != tunnel_health::failing) {
        // Without its management server NetBird keeps the tunnel and retries
        // by itself; a restarted daemon could not fetch its network map and
        // would drop every tunnel until the server is back.
        if (m_unhealthy_since) {
            spdlog::info(health == tunnel_health::good
                             ? "VPN connectivity restored"
                             : "VPN tunnel carries traffic again (management server still unreachable)");
            m_unhealthy_since.reset();
        }
        return;
    }
    if (!m_unhealthy_since) {
        m_unhealthy_since = now;
        spdlog::warn("VPN connectivity lost ({}); will restart service if it persists",
                     m_daemon_status == "Connected" ? "management and signal servers unreachable, no peer connected"
                                                    : "NetBird not connected");
        return;
    }
    const auto down_for = now - *m_unhealthy_since;
    if (down_for >= timeout) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(down_for).count();
        const bool connected = m_daemon_status == "Connected";
        // Behind a full queue the restart waits for the next cycle.
        if (!queue_daemon_restart("the tunnel has been unhealthy for " + std::to_string(seconds) + " s")) return;
        spdlog::warn("VPN connectivity down for {}s, restarting service", seconds);
        record("daemon_restarted",
               std::string("Restarted the NetBird daemon: ") +
                   (connected ? "nothing carried traffic (management and signal servers unreachable, no peer "
                                "connected) for "
                              : "not connected for ") +
                   std::to_string(seconds) + " s",
               {{"reason", connected ? "tunnel carries nothing" : "not connected"}, {"seconds", seconds}});
        m_unhealthy_since = now;
    }
}

void application::log_heartbeat(bool management_connected) {
    if (m_shutting_down) return;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_started_at);
    spdlog::info("heartbeat: uptime={} service={} management={}", text_utils::format_uptime(secs.count()),
                 service_running() ? "running" : "stopped", management_connected ? "connected" : "disconnected");
    // A device that runs for months must not wait for a restart to prune.
    prune_daily_logs(log_retention_days());
    compress_daily_logs();
}

void application::wake_status_poller() {
    {
        std::lock_guard<std::mutex> lock(m_poll_mutex);
        m_poll_wake = true;
    }
    m_poll_cv.notify_one();
}
