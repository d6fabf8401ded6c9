#pragma once
// One connection of the server: requests are read, handled and answered in
// order. Where the connection is lives in one state (session_state.hpp); the
// input and output sides are session_input and session_output. Everything
// here runs on the loop thread.

#include "http/answer_memory.hpp"
#include "http/http_server.hpp"
#include "http/idle_wait.hpp"
#include "http/session_input.hpp"
#include "http/session_output.hpp"
#include "http/session_state.hpp"

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>

namespace httpd {

class session;

// The open connections, for the cap, and what their unsent answers hold.
struct connection_registry {
    std::list<session*> sessions;
    answer_memory answers;
    session_clock::time_point last_memory_warning{};
    std::shared_ptr<idle_wait> idle;  // none: every connection reads the usual way
};

// The frame's own answers carry fixed ASCII messages without quotes or
// backslashes, so their JSON needs no escaping.
// Example: error_body("Not found") -> {"error":"Not found"}
std::string error_body(std::string_view message);

class session final : public std::enable_shared_from_this<session>, public response_sink, public idle_waiter {
public:
    session(unix_socket socket, std::shared_ptr<const router> routes, std::shared_ptr<connection_registry> registry);
    ~session();
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    void start();

    // Waiting for its handler's answer (a NetBird command may be running for
    // it): the one kind of connection that is never closed to make room.
    bool awaiting_answer() const;
    // Bytes moved for the current request per second since it began; 0
    // between requests and while lingering.
    double progress_rate(session_clock::time_point now) const;
    session_clock::time_point last_activity() const { return m_last_activity; }
    // What its answer, ended and waiting for the client, holds; empty otherwise.
    const held_answer& held() const { return m_held; }

    void close();

private:
    void on_response_ended() override;

    // Moves the state on (see next_state).
    void advance(session_event event) { m_state = next_state(m_state, event, m_keep_alive); }
    // Progress restarts the idle period; reading the clock costs no system call.
    void touch() { m_last_activity = session_clock::now(); }

    void arm_timer(session_clock::time_point at);
    void on_timer();

    void read_more();
    bool worth_parking() const;
    bool parked() { return m_watched && m_registry->idle->parked(m_socket.native_handle()); }
    void on_idle_readable() override;
    void on_read(const boost::system::error_code& ec, std::size_t n);
    void process();

    response_ptr make_response();
    void start_request();
    void on_body_piece(std::string_view piece);
    void finish_body(std::string_view last_piece);
    void deliver(std::string_view chunk, bool last);
    void reject_malformed(bool too_large);

    void queue_output(std::string_view text);
    void write_more();
    void write_later();
    // Counts what the answer holds while it waits for the client, and makes
    // room when all answers together hold too much.
    void hold_answer();
    void release_answer();
    void on_written(const boost::system::error_code& ec, std::size_t n);

    // The request's answer is ended and all of it written.
    bool answer_sent() const;
    void finish_if_done();
    void start_lingering();

    unix_socket m_socket;
    std::shared_ptr<const router> m_router;
    std::shared_ptr<connection_registry> m_registry;
    std::list<session*>::iterator m_entry;  // in m_registry until closed
    loop_timer m_timer;
    session_clock::time_point m_last_activity{};
    session_input m_input;
    session_output m_output;
    response_ptr m_response;
    response_ptr m_previous_response;  // kept for the next request when nobody else holds it
    std::uint64_t m_drained = 0;       // body bytes read after the request was answered
    held_answer m_held;                // counted in m_registry->answers
    session_state m_state = session_state::header;
    // Whether the connection goes on after this answer: the request asked
    // for it, and nothing since (a malformed request, a refused body too
    // long to read) made us end it. Said in the answer's head, acted on once
    // the answer is sent; independent of the state, which it chooses the
    // next of.
    bool m_keep_alive = true;
    // Inside a handler this session called: an answer ended there is
    // finished by the code that called the handler, not from inside it.
    bool m_dispatching = false;
    // Watched by the registry's idle wait (and so maybe parked there).
    bool m_watched = false;
    // The last read took less than it could: the socket had nothing more then.
    bool m_drained_socket = false;
    std::uint64_t m_read_look = 0;  // the idle wait's looks() when the last read began
};

}  // namespace httpd
