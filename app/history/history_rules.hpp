#pragma once
// What the connection history says: the tunnel's state over time, replayed
// from its events, and the figures an installer asks for (how long it was
// wanted up and up, how often it dropped, the longest outage, daemon
// restarts), for a window of time.
//
// States: up (NetBird connected), connecting, down (wanted up but neither),
// not wanted (taken down, or the device not enrolled) and unknown (the
// supervisor was not running).

#include "history/history_log.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace history_rules {

enum class tunnel_state { up, connecting, down, not_wanted, unknown };

// Example: tunnel_state::not_wanted -> "not_wanted".
std::string_view state_name(tunnel_state state);

// An outage the user asked for (a reconnect, a restart: the tunnel goes
// through connecting) counts as theirs for at most this long; what is left of
// it after that counts as any outage does.
constexpr std::int64_t ASKED_OUTAGE_GRACE_MS = 120 * 1000;

struct segment {
    std::int64_t from;  // UTC ms
    std::int64_t to;
    tunnel_state state;
    bool asked = false;  // an outage the user's command caused
};

// When each event happened on the wall clock of `now`: within a boot the
// boot clock says how long before the next event (or now) it was, whatever
// the wall clock was set to meanwhile; across boots the wall clock does,
// never later than what followed.
// Example: now 10:00 at uptime 600 s; an event of this boot at uptime 540 s,
//          recorded while the clock said 1970 -> 09:59.
std::vector<std::int64_t> event_times(const std::deque<history_event>& events, const moment& now);

struct replayed {
    std::vector<segment> segments;  // from the first event to now, equal neighbours merged
    tunnel_state current = tunnel_state::unknown;
    std::int64_t since = 0;         // when the current state began
};

// The states from the first event to now. The time between a run that did
// not end cleanly (killed, crashed, a power cut) and the next start is
// unknown: nothing says how long that run went on. An outage that begins with
// an event marked "asked" (the daemon's doing during the user's command) is
// marked so for at most ASKED_OUTAGE_GRACE_MS.
// Example: started (wanted) at 0, daemon_state Connected at 10, command down at 50,
//          now 60 -> [0-10 connecting, 10-50 up, 50-60 not_wanted], not_wanted since 50.
// Example: ... Connected at 10, daemon_started (asked) at 20, Connected at 23, now 30 ->
//          [0-10 connecting, 10-20 up, 20-23 connecting asked, 23-30 up].
replayed replay(const std::deque<history_event>& events, const moment& now);

struct window_figures {
    std::int64_t from = 0;
    std::int64_t to = 0;
    std::int64_t known_ms = 0;           // the supervisor ran
    std::int64_t wanted_ms = 0;          // of which the tunnel was wanted up
    std::int64_t up_ms = 0;              // of which it was up
    // Outages the user asked for count for none of these: not as wanted up,
    // not as a drop or an outage; nor do the restarts they asked for.
    int drops = 0;                       // up, then connecting or down
    std::int64_t longest_outage_ms = 0;  // wanted up but not up, in one stretch
    int daemon_restarts = 0;             // it exited, or the watchdog restarted it
    std::vector<segment> segments;       // clipped to the window, at most max_segments
};

// The figures of [from, to]; `times` are the events' (event_times). Past `max_segments` stretches, the timeline is
// cut into max_segments equal ones, each showing the most severe state in it
// (down, connecting, unknown, not wanted, up): a short outage stays visible.
// Example: the replay above, window 0-60 -> known 60 s, wanted 50 s, up 40 s, 0 drops,
//          longest outage 10 s.
// Example: the asked replay above, window 0-30 -> wanted 27 s, up 17 s, 0 drops, longest
//          outage 10 s, 0 restarts.
window_figures figures(const std::vector<segment>& states, const std::deque<history_event>& events,
                       const std::vector<std::int64_t>& times, std::int64_t from, std::int64_t to,
                       std::size_t max_segments);

// `since` of a history request: an event id, or a UTC time.
struct since_id {
    std::uint64_t id;
};
struct since_time {
    std::int64_t time;  // UTC ms
};
using since = std::variant<since_id, since_time>;

// A date or time that does not exist is refused.
// Example: "42" -> id 42; "2026-12-07T02:14:00Z" -> time 1796609640000;
//          "2026-12-07T03:14:00.5+01:00" -> 1796609640500; "yesterday" -> nothing;
//          "2026-02-31T00:00:00Z" -> nothing; "2028-02-29T00:00:00Z" -> time 1835395200000.
std::optional<since> parse_since(std::string_view text);

}  // namespace history_rules
