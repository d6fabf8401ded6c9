#pragma once
// What the supervisor reads of NetBird's answers besides the status report
// (status_report holds that): the daemon states that mean no enrolment, and
// whether `up` applied its flags.

#include <string_view>

namespace netbird_answers {

// The daemon states in which it has no enrolment to connect with.
// Example: "NeedsLogin" -> true; "LoginFailed" -> false (enrolled, its login refused).
bool is_unenrolled_state(std::string_view daemon_status);

// Whether `up` found the tunnel connected and so applied none of its flags.
// Example: "Already connected\n" -> true; "Connected\n" -> false.
bool up_was_already_connected(std::string_view output);

}  // namespace netbird_answers
