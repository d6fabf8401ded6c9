#include "history/history_rules.hpp"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace history_rules {
namespace {

// What the replay knows at a moment.
struct condition {
    bool running = false;
    bool wanted = false;
    std::string daemon = "Starting";
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
        std::optional<tunnel_state> worst;
        for (auto s = next; s != segments.end() && s->from < end; ++s)
            if (!worst || severity(s->state) > severity(*worst)) worst = s->state;
        if (!worst || end <= start) continue;
        if (!out.empty() && out.back().state == *worst && out.back().to == start)
            out.back().to = end;
        else
            out.push_back({start, end, *worst});
    }
    return out;
}

bool is_restart(const history_event& event) {
    return event.kind == "daemon_exited" || event.kind == "daemon_restarted" ||
           (event.kind == "command" && fact(event, "command") == "restart");
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Example: (2024, 2) -> 29; (2026, 2) -> 28; (2026, 4) -> 30.
int days_in_month(int year, int month) {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : DAYS[month - 1];
}

// Reads `count` digits at `pos` into `value`.
bool digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
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
    const auto extend = [&out](std::int64_t from, std::int64_t to, tunnel_state state) {
        if (to <= from) return;
        if (!out.segments.empty() && out.segments.back().state == state && out.segments.back().to == from)
            out.segments.back().to = to;
        else
            out.segments.push_back({from, to, state});
    };
    const auto times = event_times(events, now);
    condition c;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const bool after_crash = events[i].kind == "supervisor_started" && fact(events[i], "previous") == "killed or crashed";
        if (i > 0) extend(times[i - 1], times[i], after_crash ? tunnel_state::unknown : state_of(c));
        const tunnel_state before = state_of(c);
        apply(c, events[i]);
        if (i == 0 || state_of(c) != before || after_crash) out.since = times[i];
    }
    if (events.empty()) return out;
    out.current = state_of(c);
    extend(times.back(), now.time, out.current);
    if (!out.segments.empty() && out.segments.back().state == out.current) out.since = out.segments.back().from;
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
            if (s.to <= from) previous = s.state;
            continue;
        }
        const std::int64_t length = end - start;
        if (s.state != tunnel_state::unknown) f.known_ms += length;
        if (s.state == tunnel_state::up || is_outage(s.state)) f.wanted_ms += length;
        if (s.state == tunnel_state::up) f.up_ms += length;
        if (previous == tunnel_state::up && is_outage(s.state) && s.from >= from) ++f.drops;
        outage = is_outage(s.state) ? outage + length : 0;
        f.longest_outage_ms = std::max(f.longest_outage_ms, outage);
        previous = s.state;
        f.segments.push_back({start, end, s.state});
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
    // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 20 || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || (text[10] != 'T' && text[10] != 't') ||
        !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' ||
        !digits(text, 17, 2, second))
        return std::nullopt;
    // A day the month does not have is no time (2026-02-31 is not 2026-03-03); a
    // leap second (:60) is one.
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
        second > 60)
        return std::nullopt;
    std::size_t pos = 19;
    int millis = 0;
    if (text[pos] == '.') {
        std::size_t n = 0;
        for (++pos; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos, ++n)
            if (n < 3) millis = millis * 10 + (text[pos] - '0');
        if (n == 0) return std::nullopt;
        for (; n < 3; ++n) millis *= 10;
    }
    int offset_minutes = 0;
    if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z') && pos + 1 == text.size()) {
        // UTC
    } else if (pos + 6 == text.size() && (text[pos] == '+' || text[pos] == '-') && text[pos + 3] == ':') {
        int oh, om;
        if (!digits(text, pos + 1, 2, oh) || !digits(text, pos + 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offset_minutes = (text[pos] == '+' ? 1 : -1) * (oh * 60 + om);
    } else {
        return std::nullopt;
    }
    const std::int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset_minutes * 60;
    return since_time{seconds * 1000 + millis};
}

}  // namespace history_rules
