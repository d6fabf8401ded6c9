#pragma once
// How often the watchdog asks NetBird for its status. Each poll starts
// NetBird's CLI, a large static program that costs a camera's core real CPU,
// so the status is polled every 5 s only while it matters: someone reads
// /status or /history, a command runs, a sign-in waits, or the tunnel is not
// steady; otherwise every 30 s. The event loop, which knows those facts,
// keeps a "fast until" time point; the watchdog reads it to decide.

#include "netbird/status_report.hpp"

#include <chrono>
#include <optional>

namespace poll_cadence {

using clock = std::chrono::steady_clock;

constexpr auto FAST_INTERVAL = std::chrono::seconds(5);
constexpr auto SLOW_INTERVAL = std::chrono::seconds(30);
// A read of /status or /history keeps the polls fast this long: the page
// asks every few seconds while it is open.
constexpr auto WATCHED_FOR = std::chrono::seconds(30);
// A daemon that has just started connects, or fails to, within this time.
constexpr auto DAEMON_SETTLING = std::chrono::seconds(60);
// A report that is not steady keeps the polls fast until the next one has
// come in, with a cycle's room for a late one.
constexpr auto UNSTEADY_HOLD = 2 * FAST_INTERVAL;

// Whether the tunnel is steady as the last report tells: NetBird connected
// with its management server, or waiting for a login (nothing changes until
// someone acts), or idle while the tunnel is wanted down (NetBird's state
// after a down). A failed poll, any other state, a lost management server or
// a sign-in under way is not steady. Every report on which the watchdog
// times a restart (failing, with the tunnel wanted up, hence no NeedsLogin)
// is unsteady, so that time-out is counted in fast polls.
// Example: {Connected, management true}, wanted up -> true; {Connected, management false} -> false;
//          {NeedsLogin} -> true; {Idle}, wanted down -> true; {Idle}, wanted up -> false;
//          {Connecting} -> false; no report (the poll failed) -> false; a sign-in under way -> false.
bool steady(const std::optional<status_report::status_summary>& report, bool wanted_up, bool sign_in_under_way);

// Whether this watchdog cycle polls: the first time, while the polls are kept
// fast or a command is queued or running, and otherwise once the slow
// interval has passed since the last poll.
// Example: last poll 10 s ago, fast until 3 s ago, no command -> false;
//          the same with the last poll 30 s ago -> true; fast until 1 s from now -> true;
//          a command queued -> true; never polled -> true.
bool poll_due(clock::time_point now, std::optional<clock::time_point> last_poll, clock::time_point fast_until,
              bool commands_pending);

}  // namespace poll_cadence
