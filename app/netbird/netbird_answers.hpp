#pragma once
// What the supervisor reads of NetBird's answers besides the status report
// (status_report holds that): the daemon states that mean no enrolment or a
// connection that has not got through, the failed poll of a daemon that is
// connecting, and whether `up` applied its flags.

#include <string_view>

namespace netbird_answers {

// The daemon states in which it has no enrolment to connect with.
// Example: "NeedsLogin" -> true; "LoginFailed" -> false (any failed login leaves it, enrolled or not).
bool is_unenrolled_state(std::string_view daemon_status);

// The daemon states in which NetBird's up would wait on a connect loop that
// has never connected, or log in again over a refused one: a down must end
// that first, or nothing the up carries reaches the daemon.
// Example: "Connecting" -> true; "SessionExpired" -> true; "Connected" -> false; "Idle" -> false.
bool is_stuck_state(std::string_view daemon_status);

// Whether the output of a failed status poll is NetBird's connect loop waiting
// between two attempts to reach its management server: the daemon runs and
// is connecting; it is not gone.
// Example: "Error: status failed: failed connecting to Management Service : context deadline exceeded" -> true;
//          "Error: failed to connect to daemon error: context deadline exceeded" -> false.
bool is_connect_retry(std::string_view output);

// Whether `up` found the tunnel connected and so applied none of its flags.
// Example: "Already connected\n" -> true; "Connected\n" -> false.
bool up_was_already_connected(std::string_view output);

}  // namespace netbird_answers
