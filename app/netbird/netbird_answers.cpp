#include "netbird/netbird_answers.hpp"

#include "core/text_utils.hpp"

namespace netbird_answers {

bool is_unenrolled_state(std::string_view daemon_status) { return daemon_status == "NeedsLogin"; }

bool is_stuck_state(std::string_view daemon_status) {
    return daemon_status == "Connecting" || daemon_status == "LoginFailed" || daemon_status == "SessionExpired";
}

bool is_connect_retry(std::string_view output) {
    return output.find("failed connecting to Management Service") != std::string_view::npos;
}

bool up_was_already_connected(std::string_view output) {
    bool found = false;
    text_utils::for_each_trimmed_line(output,
                                      [&found](std::string_view line) { found = found || line == "Already connected"; });
    return found;
}

}  // namespace netbird_answers
