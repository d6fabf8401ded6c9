#include "http/session_input.hpp"

namespace httpd {

session_clock::time_point arrival_deadline(session_clock::time_point started, std::uint64_t bytes) {
    const std::chrono::duration<double> allowance(static_cast<double>(bytes) / MIN_ARRIVAL_BYTES_PER_SECOND);
    return started + REQUEST_ARRIVAL_GRACE + std::chrono::duration_cast<session_clock::duration>(allowance);
}

request_input::event session_input::next() {
    // Reading the clock costs no system call.
    if (!m_started && m_requests.buffered() > 0) m_started = session_clock::now();
    return m_requests.next();
}

void session_input::next_request() {
    m_requests.next_request();
    m_started.reset();
}

void session_input::discard() {
    m_requests.discard();
    m_started.reset();
}

std::optional<session_clock::time_point> session_input::due() const {
    if (!m_started) return std::nullopt;
    return arrival_deadline(*m_started, m_requests.request_bytes());
}

}  // namespace httpd
