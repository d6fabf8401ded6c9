#include "netbird/poll_cadence.hpp"

namespace poll_cadence {

bool steady(const std::optional<status_report::status_summary>& report, bool wanted_up, bool sign_in_under_way) {
    if (!report || !report->daemon_status || sign_in_under_way) return false;
    const std::string& state = *report->daemon_status;
    if (state == "NeedsLogin") return true;
    if (state == "Idle") return !wanted_up;
    return state == "Connected" && report->management_connected.value_or(true);
}

bool poll_due(clock::time_point now, std::optional<clock::time_point> last_poll, clock::time_point fast_until,
              bool commands_pending) {
    return !last_poll || now < fast_until || commands_pending || now - *last_poll >= SLOW_INTERVAL;
}

}  // namespace poll_cadence
