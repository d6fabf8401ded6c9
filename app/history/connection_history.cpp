// The connection history: what the supervisor sees happen to the tunnel (its
// own start and stop, the daemon's starts, exits and restarts, NetBird's
// states, the management and signal connections, the peers, the user's
// commands and changes), recorded as events, and GET /history.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "history/history_rules.hpp"
#include "netbird/netbird_answers.hpp"
#include "core/text_utils.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>

namespace {

// A change of the number of connected peers is recorded at most this often
// (they come and go all the time in a large network), but at once when the
// last one goes or the first one comes.
constexpr auto PEERS_EVENT_INTERVAL = std::chrono::minutes(10);
// A crash loop is recorded again when its count doubles, and at least this often.
constexpr auto CRASH_LOOP_EVENT_INTERVAL = std::chrono::hours(1);
// After the user's command ends, NetBird's changes are still its doing until
// NetBird settles (connected, or where the command left it), at most this long.
constexpr auto ASKED_SETTLING = std::chrono::seconds(60);
// What an event keeps of a command's output or of an error text.
constexpr std::size_t MAX_FACT_TEXT = 200;
constexpr int DEFAULT_LIMIT = 200;
constexpr int MAX_LIMIT = 1000;
constexpr std::int64_t DAY_MS = 24LL * 3600 * 1000;
// Stretches of a timeline; shorter ones than the window / this are merged.
constexpr std::size_t MAX_SEGMENTS = 600;

// The first line of a text, bounded and safe for a log line.
std::string excerpt(std::string_view text) {
    const auto lf = text.find('\n');
    std::string line(text.substr(0, std::min(lf, MAX_FACT_TEXT)));
    return text_utils::escape_for_log(line);
}

nlohmann::json summary_json(const history_rules::window_figures& f) {
    nlohmann::json segments = nlohmann::json::array();
    for (const auto& s : f.segments) {
        nlohmann::json segment = {{"from", s.from}, {"to", s.to}, {"state", history_rules::state_name(s.state)}};
        if (s.asked) segment["asked"] = true;
        segments.push_back(std::move(segment));
    }
    return {{"from", f.from},
            {"to", f.to},
            {"known_s", f.known_ms / 1000},
            {"wanted_s", f.wanted_ms / 1000},
            {"up_s", f.up_ms / 1000},
            {"drops", f.drops},
            {"longest_outage_s", f.longest_outage_ms / 1000},
            {"daemon_restarts", f.daemon_restarts},
            {"segments", std::move(segments)}};
}

}  // namespace

bool application::asked_now() const {
    return m_user_commands > 0 || sign_in_under_way() || std::chrono::steady_clock::now() < m_asked_until;
}

void application::end_user_command() {
    --m_user_commands;
    m_asked_until = std::chrono::steady_clock::now() + ASKED_SETTLING;
}

void application::record(std::string kind, std::string text, nlohmann::json facts) {
    if (!m_history) return;
    // What the daemon does while the user's command is under way is marked,
    // so that the history's figures do not count it as a failure.
    const bool daemon_event = kind == "daemon_state" || kind == "daemon_started" || kind == "daemon_exited" ||
                              kind == "daemon_start_failed";
    if (daemon_event && facts.is_object() && asked_now()) facts["asked"] = true;
    m_history->append(std::move(kind), std::move(text), std::move(facts), moment_now());
}

void application::record_daemon_exit(std::string text, const std::string& cause, nlohmann::json facts,
                                     int quick_exits, std::chrono::seconds next_start_in) {
    if (quick_exits >= 2) {
        // Example: the 2nd, 4th, 8th... exit in a row -> "NetBird daemon keeps exiting soon after its start:
        // 4 times in a row (the last: code 1); next start in 20 s", with count 4; the 3rd, 5th... -> nothing.
        const auto now = std::chrono::steady_clock::now();
        const bool doubled = (quick_exits & (quick_exits - 1)) == 0;
        if (!doubled && now - m_crash_loop_recorded_at < CRASH_LOOP_EVENT_INTERVAL) return;
        m_crash_loop_recorded_at = now;
        facts["crash_loop"] = true;
        facts["count"] = quick_exits;
        facts["next_start_s"] = next_start_in.count();
        text = "NetBird daemon keeps exiting soon after its start: " + std::to_string(quick_exits) +
               " times in a row (the last: " + cause + "); next start in " + std::to_string(next_start_in.count()) +
               " s";
    }
    record("daemon_exited", std::move(text), std::move(facts));
    // What the next report says is news, whatever the last one said.
    m_report_failed = true;
}

void application::record_command(const char* command, const command_result& result) {
    static const std::map<std::string, std::string> names = {
        {"up", "Connect"}, {"down", "Disconnect"}, {"reconnect", "Reconnect"},
        {"restart", "Restart daemon"}, {"deregister", "Deregister"}};
    const std::string output = excerpt(result.combined());
    std::string text = names.at(command) + (result.exit_code == 0 ? ": done" : ": failed");
    if (!output.empty()) text += " (" + output + ")";
    record("command", std::move(text),
           {{"command", command}, {"ok", result.exit_code == 0}, {"exit_code", result.exit_code}, {"asked", true}});
}

void application::note_status_report(const std::optional<status_report::status_summary>& polled,
                                      const std::string& failure) {
    // Between two attempts to reach its management server NetBird fails every
    // status call: the daemon runs and is connecting. Said so, the history
    // does not swing between "does not answer" and "Connecting" at each retry.
    std::optional<status_report::status_summary> summary = polled;
    if (!summary && netbird_answers::is_connect_retry(failure)) {
        summary = m_last_report.value_or(status_report::status_summary{});
        summary->daemon_status = "Connecting";
    }
    if (!summary) {
        // Once per spell of polls that fail: the daemon does not answer.
        if (!m_report_failed) {
            const std::string error = excerpt(failure);
            record("daemon_state", "NetBird does not answer" + (error.empty() ? "" : ": " + error),
                   {{"from", m_last_report && m_last_report->daemon_status ? *m_last_report->daemon_status : ""},
                    {"to", "Unavailable"},
                    {"error", error}});
        }
        m_report_failed = true;
        return;
    }
    const status_report::status_summary before = m_last_report.value_or(status_report::status_summary{});
    const bool after_failure = m_report_failed || !m_last_report;
    m_report_failed = false;
    if (summary->daemon_status && (after_failure || summary->daemon_status != before.daemon_status))
        record("daemon_state", "NetBird: " + *summary->daemon_status,
               {{"from", after_failure ? std::string("Unavailable") : before.daemon_status.value_or("")},
                {"to", *summary->daemon_status}});
    // Settled where the user's command meant it to be: what follows is NetBird's own doing.
    const std::string& state = summary->daemon_status.value_or("");
    if (m_user_commands == 0 && (state == "Connected" || state == "NeedsLogin" || (state == "Idle" && !m_desired_up)))
        m_asked_until = {};
    // A connection that was never there is not lost.
    const auto link = [this](const char* kind, const char* name, const char* lost, const std::optional<bool>& was,
                             const std::optional<bool>& is, const std::string& error) {
        if (!is || is == was || (!was && !*is)) return;
        const std::string text = std::string(name) + (*is ? " connected" : lost) +
                                 (!*is && !error.empty() ? ": " + excerpt(error) : "");
        record(kind, text, {{"connected", *is}, {"error", excerpt(error)}});
    };
    // NetBird keeps a connected tunnel without its management server, and so
    // does the watchdog while peers or the signal server carry it.
    const bool kept = status_report::health_of(summary) == status_report::tunnel_health::management_lost;
    link("management", "Management server", kept ? " unreachable, tunnel kept" : " lost", before.management_connected,
         summary->management_connected, summary->management_error);
    link("signal", "Signal server", " lost", before.signal_connected, summary->signal_connected, summary->signal_error);
    if (summary->peers_connected && !m_peers_recorded && *summary->peers_connected == 0) m_peers_recorded = 0;
    if (summary->peers_connected && summary->peers_connected != m_peers_recorded) {
        const auto now = std::chrono::steady_clock::now();
        const bool edge = !m_peers_recorded || *m_peers_recorded == 0 || *summary->peers_connected == 0;
        if (edge || now - m_peers_recorded_at >= PEERS_EVENT_INTERVAL) {
            const auto total = summary->peers_total.value_or(*summary->peers_connected);
            record("peers",
                   "Peers connected: " + std::to_string(*summary->peers_connected) + " of " + std::to_string(total),
                   {{"connected", *summary->peers_connected}, {"total", total}});
            m_peers_recorded = summary->peers_connected;
            m_peers_recorded_at = now;
        }
    }
    m_last_report = summary;
}

void application::api_history(const response_ptr& res, request& req) {
    note_watching(req);
    const std::string since_text = req.get_query("since");
    const std::string limit_text = req.get_query("limit");
    std::optional<history_rules::since> since;
    if (!since_text.empty()) {
        since = history_rules::parse_since(since_text);
        if (!since) {
            write_json(res, api_json::error_json("since must be an event id or a UTC time such as 2026-12-07T02:14:00Z"),
                       "400 Bad Request", true);
            return;
        }
    }
    int limit = DEFAULT_LIMIT;
    if (!limit_text.empty()) {
        const auto value = text_utils::parse_int(limit_text);
        const bool digits_only = std::all_of(limit_text.begin(), limit_text.end(),
                                             [](char c) { return c >= '0' && c <= '9'; });
        if (!value || !digits_only || *value < 1 || *value > MAX_LIMIT) {
            write_json(res, api_json::error_json("limit must be an integer between 1 and 1000"), "400 Bad Request",
                       true);
            return;
        }
        limit = *value;
    }
    static const std::deque<history_event> none;
    const auto& events = m_history ? m_history->events() : none;
    // Times on today's clock: what was recorded under a clock set since then is moved to where it belongs.
    const moment now = moment_now();
    const auto times = history_rules::event_times(events, now);
    nlohmann::json listed = nlohmann::json::array();
    for (auto it = events.rbegin(); it != events.rend() && static_cast<int>(listed.size()) < limit; ++it) {
        if (since) {
            if (const auto* id = std::get_if<history_rules::since_id>(&*since); id && it->id <= id->id) break;
            if (const auto* time = std::get_if<history_rules::since_time>(&*since);
                time && times[static_cast<std::size_t>(events.rend() - it - 1)] < time->time)
                continue;
        }
        listed.push_back({{"id", it->id}, {"time", times[static_cast<std::size_t>(events.rend() - it - 1)]},
                          {"kind", it->kind}, {"text", it->text}, {"facts", it->facts}});
    }
    const auto states = history_rules::replay(events, now);
    nlohmann::json current = nullptr;
    if (!events.empty()) current = {{"state", history_rules::state_name(states.current)}, {"since", states.since}};
    write_json(res,
               api_json::compact({{"events", std::move(listed)},
                                  {"last_id", events.empty() ? 0 : events.back().id},
                                  {"now", now.time},
                                  {"current", std::move(current)},
                                  {"summary",
                                   {{"day", summary_json(history_rules::figures(states.segments, events, times,
                                                                                now.time - DAY_MS, now.time,
                                                                                MAX_SEGMENTS))},
                                    {"week", summary_json(history_rules::figures(states.segments, events, times,
                                                                                 now.time - 7 * DAY_MS, now.time,
                                                                                 MAX_SEGMENTS))}}}}),
               "200 OK", true);
}
