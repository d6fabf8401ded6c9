#include "netbird/netbird_answers.hpp"

#include "core/text_utils.hpp"

namespace netbird_answers {

bool is_unenrolled_state(std::string_view daemon_status) { return daemon_status == "NeedsLogin"; }

bool up_was_already_connected(std::string_view output) {
    bool found = false;
    text_utils::for_each_trimmed_line(output,
                                      [&found](std::string_view line) { found = found || line == "Already connected"; });
    return found;
}

}  // namespace netbird_answers
