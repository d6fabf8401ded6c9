#include "history/history_rules.hpp"

#include "core/utc_time.hpp"

#include <algorithm>
#include <cctype>

namespace history_rules {
namespace {

// What the replay knows at a moment.
struct condition {
    bool running = false;
    bool wanted = false;
    std::string daemon = "Starting";
    bool asked = false;  // the daemon's last change came during the user's command
};

tunnel_state state_of(const condition& c) {
    if (!c.running) return tunnel_state::unknown;
    if (!c.wanted || c.daemon == "NeedsLogin") return tunnel_state::not_wanted;
    if (c.daemon == "Connected") return tunnel_state::up;
    if (c.daemon == "Connecting" || c.daemon == "Starting") return tunnel_state::connecting;
    return tunnel_state::down;
}

std::string fact(const history_event& event, const char* name) {
    const auto it = event.facts.find(name);
    return it != event.facts.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

bool flag(const history_event& event, const char* name) {
    const auto it = event.facts.find(name);
    return it != event.facts.end() && it->is_boolean() && it->get<bool>();
}

void apply(condition& c, const history_event& event) {
    if (event.kind.rfind("daemon_", 0) == 0) c.asked = flag(event, "asked");
    if (event.kind == "supervisor_started") {
        // A device that is not enrolled is not wanted up, whatever the wish
        // (runs that did not record it took every device for enrolled).
        const auto enrolled = event.facts.find("enrolled");
        const bool unenrolled = enrolled != event.facts.end() && enrolled->is_boolean() && !enrolled->get<bool>();
        c = condition{true, flag(event, "wanted") && !unenrolled, "Starting"};
    } else if (event.kind == "supervisor_stopping") {
        c.running = false;
    } else if (event.kind == "daemon_state") {
        c.daemon = fact(event, "to");
    } else if (event.kind == "daemon_started") {
        c.daemon = "Starting";
    } else if (event.kind == "daemon_exited" || event.kind == "daemon_start_failed") {
        c.daemon = "Unavailable";
    } else if (event.kind == "command") {
        const std::string command = fact(event, "command");
        if (command == "up" || command == "reconnect") c.wanted = true;
        if (command == "down" || command == "deregister") c.wanted = false;
    } else if (event.kind == "sign_in" && fact(event, "outcome") == "connected") {
        c.wanted = true;  // an enrolment, as an up with a key
    }
}

bool is_outage(tunnel_state state) { return state == tunnel_state::connecting || state == tunnel_state::down; }

// How much a state matters on a timeline too coarse to show every stretch:
// an outage must never vanish between two stretches of up.
int severity(tunnel_state state) {
    switch (state) {
    case tunnel_state::down: return 4;
    case tunnel_state::connecting: return 3;
    case tunnel_state::unknown: return 2;
    case tunnel_state::not_wanted: return 1;
    case tunnel_state::up: break;
    }
    return 0;
}

// An outage the user asked for matters no more than a tunnel taken down.
int severity(const segment& s) { return s.asked ? severity(tunnel_state::not_wanted) : severity(s.state); }

// `count` stretches of equal length over [from, to], each showing the most
// severe state in it, equal neighbours merged.
std::vector<segment> buckets(const std::vector<segment>& segments, std::int64_t from, std::int64_t to,
                             std::size_t count) {
    std::vector<segment> out;
    auto next = segments.begin();
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t start = from + (to - from) * static_cast<std::int64_t>(i) / static_cast<std::int64_t>(count);
        const std::int64_t end =
            from + (to - from) * static_cast<std::int64_t>(i + 1) / static_cast<std::int64_t>(count);
        while (next != segments.end() && next->to <= start) ++next;
        const segment* worst = nullptr;
        for (auto s = next; s != segments.end() && s->from < end; ++s)
            if (!worst || severity(*s) > severity(*worst)) worst = &*s;
        if (!worst || end <= start) continue;
        if (!out.empty() && out.back().state == worst->state && out.back().asked == worst->asked &&
            out.back().to == start)
            out.back().to = end;
        else
            out.push_back({start, end, worst->state, worst->asked});
    }
    return out;
}

// Events recorded before restarts were marked as asked carry no mark, and
// count as they always did.
bool is_restart(const history_event& event) {
    if (flag(event, "asked")) return false;
    return event.kind == "daemon_exited" || event.kind == "daemon_restarted" ||
           (event.kind == "command" && fact(event, "command") == "restart");
}

}  // namespace

std::string_view state_name(tunnel_state state) {
    switch (state) {
    case tunnel_state::up: return "up";
    case tunnel_state::connecting: return "connecting";
    case tunnel_state::down: return "down";
    case tunnel_state::not_wanted: return "not_wanted";
    case tunnel_state::unknown: break;
    }
    return "unknown";
}

std::vector<std::int64_t> event_times(const std::deque<history_event>& events, const moment& now) {
    std::vector<std::int64_t> times(events.size());
    moment next = now;
    for (std::size_t i = events.size(); i-- > 0;) {
        const history_event& e = events[i];
        const bool same_boot = !e.boot.empty() && e.boot == next.boot && e.uptime >= 0 && next.uptime >= e.uptime;
        times[i] = same_boot ? next.time - (next.uptime - e.uptime) : std::min(e.time, next.time);
        next = {times[i], e.boot, e.uptime};
    }
    return times;
}

replayed replay(const std::deque<history_event>& events, const moment& now) {
    replayed out;
    // When the run of asked outages that reaches the last segment began.
    std::int64_t asked_from = 0;
    const auto extend = [&out, &asked_from](std::int64_t from, std::int64_t to, tunnel_state state, bool asked) {
        if (to <= from) return;
        asked = asked && is_outage(state);
        if (asked) {
            const bool run_goes_on = !out.segments.empty() && out.segments.back().asked && out.segments.back().to == from;
            if (!run_goes_on) asked_from = from;
            const std::int64_t grace_ends = asked_from + ASKED_OUTAGE_GRACE_MS;
            if (from >= grace_ends) {
                asked = false;
            } else if (to > grace_ends) {
                out.segments.push_back({from, grace_ends, state, true});
                from = grace_ends;
                asked = false;
            }
        }
        if (!out.segments.empty() && out.segments.back().state == state && out.segments.back().asked == asked &&
            out.segments.back().to == from)
            out.segments.back().to = to;
        else
            out.segments.push_back({from, to, state, asked});
    };
    const auto times = event_times(events, now);
    condition c;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const bool after_crash = events[i].kind == "supervisor_started" && fact(events[i], "previous") == "killed or crashed";
        if (i > 0) extend(times[i - 1], times[i], after_crash ? tunnel_state::unknown : state_of(c), c.asked);
        const tunnel_state before = state_of(c);
        apply(c, events[i]);
        if (i == 0 || state_of(c) != before || after_crash) out.since = times[i];
    }
    if (events.empty()) return out;
    out.current = state_of(c);
    extend(times.back(), now.time, out.current, c.asked);
    // An asked outage that went on past its grace is one outage, since it began.
    for (auto s = out.segments.rbegin(); s != out.segments.rend() && s->state == out.current; ++s) {
        if (s != out.segments.rbegin() && s->to != std::prev(s)->from) break;
        out.since = s->from;
    }
    return out;
}

window_figures figures(const std::vector<segment>& states, const std::deque<history_event>& events,
                       const std::vector<std::int64_t>& times, std::int64_t from, std::int64_t to,
                       std::size_t max_segments) {
    window_figures f;
    f.from = from;
    f.to = to;
    std::int64_t outage = 0;
    std::optional<tunnel_state> previous;
    for (const auto& s : states) {
        const std::int64_t start = std::max(s.from, from);
        const std::int64_t end = std::min(s.to, to);
        if (end <= start) {
            if (s.to <= from && !s.asked) previous = s.state;
            continue;
        }
        const std::int64_t length = end - start;
        if (s.state != tunnel_state::unknown) f.known_ms += length;
        f.segments.push_back({start, end, s.state, s.asked});
        // A drop is what the user did not ask for: the tunnel up before their
        // command was still up as far as its figures go.
        if (s.asked) continue;
        if (s.state == tunnel_state::up || is_outage(s.state)) f.wanted_ms += length;
        if (s.state == tunnel_state::up) f.up_ms += length;
        if (previous == tunnel_state::up && is_outage(s.state) && s.from >= from) ++f.drops;
        outage = is_outage(s.state) ? outage + length : 0;
        f.longest_outage_ms = std::max(f.longest_outage_ms, outage);
        previous = s.state;
    }
    for (std::size_t i = 0; i < events.size(); ++i)
        if (times[i] >= from && times[i] < to && is_restart(events[i])) ++f.daemon_restarts;
    if (max_segments > 0 && f.segments.size() > max_segments) f.segments = buckets(f.segments, from, to, max_segments);
    return f;
}

std::optional<since> parse_since(std::string_view text) {
    if (text.empty()) return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        if (text.size() > 19) return std::nullopt;
        std::uint64_t id = 0;
        for (const char c : text) id = id * 10 + static_cast<std::uint64_t>(c - '0');
        return since_id{id};
    }
    const auto time = utc_time::parse_rfc3339(text);
    if (!time) return std::nullopt;
    return since_time{*time};
}

}  // namespace history_rules
