#include "http/session_state.hpp"

#include <algorithm>

namespace httpd {

session_state next_state(session_state from, session_event event, bool keep_alive) {
    if (from == session_state::closed) return from;
    switch (event) {
    case session_event::failed:
        return session_state::closed;
    case session_event::header_read:
        return from == session_state::header ? session_state::body : from;
    case session_event::body_read:
    case session_event::body_abandoned:
        return from == session_state::body ? session_state::answering : from;
    case session_event::malformed:
        return from == session_state::header || from == session_state::body ? session_state::answering : from;
    case session_event::answer_sent:
        if (from != session_state::answering) return from;
        return keep_alive ? session_state::header : session_state::lingering;
    }
    return from;
}

std::optional<session_clock::time_point> close_deadline(session_state state, bool writing,
                                                        session_clock::time_point last_activity,
                                                        std::optional<session_clock::time_point> request_due) {
    const bool arriving = state == session_state::header || state == session_state::body;
    // The client owes us something: the rest of a request, reading its
    // answer, or its end of the connection.
    const bool waiting_on_client =
        arriving || state == session_state::lingering || (writing && state != session_state::closed);
    if (!waiting_on_client) return std::nullopt;
    auto deadline = last_activity + (state == session_state::lingering ? LINGER_TIMEOUT : IDLE_TIMEOUT);
    if (arriving && request_due) deadline = std::min(deadline, *request_due);
    return deadline;
}

double progress_rate(std::optional<session_clock::time_point> started, std::uint64_t bytes,
                     session_clock::time_point now) {
    if (!started) return 0;
    const double seconds = std::max(std::chrono::duration<double>(now - *started).count(), 1e-3);
    return static_cast<double>(bytes) / seconds;
}

}  // namespace httpd
