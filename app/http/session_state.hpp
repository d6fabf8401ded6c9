#pragma once
// Where one connection is, and the rules that move it on, free of sockets so
// they can be read (and tested) apart from the session that carries them out.
//
//   header ──header_read──▶ body ──body_read / body_abandoned──▶ answering
//     ▲                      │                                      │
//     │                      └───────────malformed──────────────────┤
//     └──────────answer_sent (keep-alive)───────────────────────────┤
//                              lingering ◀──answer_sent (close)─────┘
//   header ──malformed──▶ answering;  any state ──failed──▶ closed
//
// A request is over when its body is read AND its answer written, in either
// order: an answer that goes out while the body is still arriving (a 413,
// say) leaves the connection in `body` until the body ends.

#include <chrono>
#include <cstdint>
#include <optional>

namespace httpd {

using session_clock = std::chrono::steady_clock;

// A connection that makes no progress for this long (no next request, a
// stalled body, a client that stops reading its answer) is closed, so idle
// clients cannot use up the descriptors. No limit applies while the answer
// is being prepared.
constexpr auto IDLE_TIMEOUT = std::chrono::seconds(10);
// After an answer that ends the connection, what the client still sends is
// read and dropped for up to this long: closing with unread input would
// reset the connection before the client has read the answer.
constexpr auto LINGER_TIMEOUT = std::chrono::seconds(2);

enum class session_state {
    header,     // waiting for a request's header, between requests too
    body,       // the header went to its handler; its body is being read (the answer may be out already)
    answering,  // the request is read; its answer is being prepared or written
    lingering,  // the last answer is out; input is dropped until the client closes or time runs out
    closed,
};

enum class session_event {
    header_read,     // a request's header is complete
    body_read,       // its body is complete (at once for a request without one)
    body_abandoned,  // an answered request's body is too long to be worth reading
    malformed,       // the input is not a request, or its header is too large
    answer_sent,     // the request is read and its answer written
    failed,          // a read or write error, a time-out, eviction, a streamed body that ran dry
};

// The state `event` leads to; an event that does not apply where the
// connection is leaves it there, and nothing leaves `closed`.
// Example: (answering, answer_sent, keep_alive) -> header; the same without
// keep-alive -> lingering; (body, answer_sent, _) -> body.
session_state next_state(session_state from, session_event event, bool keep_alive);

// When a connection in `state` is closed for want of progress, or nothing
// when no limit applies (its answer is being prepared). `writing` says a
// write is waiting on the client; `request_due` is when the request on its
// way in must have arrived, if one is.
// Example: header, last activity at T, request due at T + 4 s -> T + 4 s;
// answering and not writing -> nothing; lingering -> T + 2 s.
std::optional<session_clock::time_point> close_deadline(session_state state, bool writing,
                                                        session_clock::time_point last_activity,
                                                        std::optional<session_clock::time_point> request_due);

// Bytes moved for a request (read and written) per second since it began;
// 0 before its first byte.
// Example: 200 bytes of a request that began 2 s ago -> 100.
double progress_rate(std::optional<session_clock::time_point> started, std::uint64_t bytes,
                     session_clock::time_point now);

}  // namespace httpd
