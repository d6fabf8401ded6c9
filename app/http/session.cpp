#include "http/session.hpp"

#include "core/text_utils.hpp"

#include <boost/asio/error.hpp>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <exception>
#include <vector>

namespace httpd {

namespace asio = boost::asio;

namespace {

constexpr std::size_t DEFAULT_MAX_HEADER_BYTES = 4096;
// The body of a request that was answered early (413, say) is read and
// dropped up to this much, to keep the connection; beyond it the connection
// ends once the answer is out.
constexpr std::uint64_t MAX_DRAINED_BODY_BYTES = 1024 * 1024;
constexpr std::string_view CONTINUE_ANSWER = "HTTP/1.1 100 Continue\r\n\r\n";
// At most one warning about readers dropped for memory in this time.
constexpr auto MEMORY_WARNING_INTERVAL = std::chrono::seconds(60);
// With this many connections open, those between requests wait together in
// the idle wait; with fewer, a read of its own costs a connection less.
constexpr std::size_t PARK_FROM_CONNECTIONS = 4;

// A handler that throws must not take the whole server down: the request is
// answered 500 (when it has not been answered yet) and the server goes on.
template <typename Fn>
void run_guarded(const response_ptr& res, Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        spdlog::error("Request handler failed: {}", e.what());
        if (res->ended() || res->aborted()) return;
        res->write_status("500 Internal Server Error");
        res->write_header("Content-Type", "application/json");
        res->end(error_body("Internal error"));
    }
}

std::size_t max_header_bytes() {
    // Same knob as the platform's usual HTTP library, for integrators used to it.
    if (const char* text = std::getenv("UWS_HTTP_MAX_HEADERS_SIZE")) {
        if (const auto value = text_utils::parse_int(text); value && *value > 0) return static_cast<std::size_t>(*value);
    }
    return DEFAULT_MAX_HEADER_BYTES;
}

// Marks the time a session spends inside a handler it called.
class dispatch_guard {
public:
    explicit dispatch_guard(bool& flag) : m_flag(flag), m_was(flag) { m_flag = true; }
    ~dispatch_guard() { m_flag = m_was; }
    dispatch_guard(const dispatch_guard&) = delete;
    dispatch_guard& operator=(const dispatch_guard&) = delete;

private:
    bool& m_flag;
    bool m_was;
};

// Closes the readers that make the least progress until what the unsent
// answers hold is within its bound again (see answer_memory.hpp). Only runs
// when the bound is passed, never for an answer that goes out at once.
void drop_slowest_readers(connection_registry& registry) {
    const auto now = session_clock::now();
    std::vector<answer_reader> readers;
    // Held, so that closing one cannot end it under us.
    std::vector<std::shared_ptr<session>> holders;
    for (session* s : registry.sessions) {
        if (s->held().empty()) continue;
        auto held_session = s->weak_from_this().lock();
        if (!held_session) continue;
        readers.push_back({s->held(), s->progress_rate(now), s->last_activity()});
        holders.push_back(std::move(held_session));
    }
    const std::uint64_t held = registry.answers.total();
    const auto dropped = readers_to_drop(readers, registry.answers.newest(), MAX_HELD_ANSWER_BYTES);
    if (dropped.empty()) return;
    if (now - registry.last_memory_warning >= MEMORY_WARNING_INTERVAL) {
        registry.last_memory_warning = now;
        spdlog::warn("Answers waiting for slow API clients hold {} KiB, more than {} KiB: closing the {} that read "
                     "the slowest",
                     held / 1024, MAX_HELD_ANSWER_BYTES / 1024, dropped.size());
    }
    for (const std::size_t i : dropped) holders[i]->close();
}

}  // namespace

std::string error_body(std::string_view message) { return "{\"error\":\"" + std::string(message) + "\"}"; }

session::session(unix_socket socket, std::shared_ptr<const router> routes,
                 std::shared_ptr<connection_registry> registry)
    : m_socket(std::move(socket)),
      m_router(std::move(routes)),
      m_registry(std::move(registry)),
      m_timer(m_socket.get_executor()),
      m_input(max_header_bytes()) {
    m_entry = m_registry->sessions.insert(m_registry->sessions.end(), this);
}

session::~session() {
    if (m_watched) m_registry->idle->unpark(m_socket.native_handle());
    if (m_state != session_state::closed) m_registry->sessions.erase(m_entry);
    release_answer();
}

void session::start() {
    // Answers are first written at once (see write_more); the socket must
    // say "would block" rather than block the loop.
    boost::system::error_code ignored;
    m_socket.non_blocking(true, ignored);
    // HTTP has no urgent data: a byte a client sends out of band is read in
    // its place like any other, instead of vanishing from the request.
    m_socket.set_option(asio::socket_base::out_of_band_inline(true), ignored);
    m_watched = m_registry->idle && m_registry->idle->watch(m_socket.native_handle());
    touch();
    m_input.next_request();
    arm_timer(m_last_activity + IDLE_TIMEOUT);
    read_more();
}

bool session::awaiting_answer() const {
    return m_state == session_state::answering && m_response && !m_response->ended();
}

double session::progress_rate(session_clock::time_point now) const {
    if (m_state == session_state::lingering) return 0;
    return httpd::progress_rate(m_input.started(), m_input.request_bytes() + m_output.sent_bytes(), now);
}

void session::close() {
    if (m_state == session_state::closed) return;
    advance(session_event::failed);
    m_registry->sessions.erase(m_entry);
    if (m_watched) m_registry->idle->unpark(m_socket.native_handle());
    release_answer();
    m_timer.cancel();
    m_output.drop_stream();
    if (m_response) {
        m_response->abort();
        m_response->release_handlers();
    }
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

// One timer per connection, re-armed only when it fires (or when the
// connection starts to linger), not at every request.
void session::arm_timer(session_clock::time_point at) {
    m_timer.expires_at(at);
    m_timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (!ec) self->on_timer();
    });
}

void session::on_timer() {
    if (m_state == session_state::closed) return;
    const auto now = session_clock::now();
    const auto deadline = close_deadline(m_state, m_output.writing(), m_last_activity, m_input.due());
    if (!deadline) {
        arm_timer(now + IDLE_TIMEOUT);
        return;
    }
    if (now >= *deadline) {
        close();
        return;
    }
    arm_timer(*deadline);
}

// A read stays outstanding whenever reading is not paused, also while an
// answer is pending, so that a client that goes away is noticed.
void session::read_more() {
    if (m_state == session_state::closed || parked() || !m_input.wants_read()) return;
    if (worth_parking()) {
        m_registry->idle->park(m_socket.native_handle(), *this);
        return;
    }
    if (m_watched) m_read_look = m_registry->idle->looks();
    m_input.read_started();
    m_socket.async_read_some(m_input.read_space(),
                             [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                 self->on_read(ec, n);
                             });
}

// Between requests, with the socket drained by the last read and the idle
// wait not read since that read began: bytes that came after it are still to
// be told. Otherwise their telling may have gone by while this connection was
// not parked (a read that filled its space, or one of Asio's that the wait's
// reading overtook), and it reads the usual way.
bool session::worth_parking() const {
    const idle_wait* idle = m_registry->idle.get();
    return m_watched && idle->usable() && m_drained_socket && m_read_look == idle->looks() &&
           m_state == session_state::header && m_input.buffered() == 0 &&
           m_registry->sessions.size() >= PARK_FROM_CONNECTIONS;
}

void session::on_idle_readable() {
    if (m_state == session_state::closed) return;
    const auto self = shared_from_this();
    boost::system::error_code ec;
    m_read_look = m_registry->idle->looks();
    const std::size_t n = m_socket.read_some(m_input.read_space(), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        // Told of bytes an earlier read took.
        m_drained_socket = true;
        read_more();
        return;
    }
    m_input.read_started();
    on_read(ec, n);
}

void session::on_read(const boost::system::error_code& ec, std::size_t n) {
    m_input.read_ended();
    m_drained_socket = n < m_input.read_space().size();
    if (ec) {
        close();
        return;
    }
    // While lingering, input is dropped and its deadline stays fixed.
    if (m_state != session_state::lingering) {
        touch();
        m_input.append_read(n);
        process();
    }
    read_more();
}

// Tells the current request as much of the buffered input as it allows.
void session::process() {
    while (m_state == session_state::header || m_state == session_state::body) {
        switch (m_input.next()) {
        case request_input::event::more_input:
        case request_input::event::held:
            return;
        case request_input::event::header:
            start_request();
            break;
        case request_input::event::body:
            on_body_piece(m_input.requests().body());
            break;
        case request_input::event::body_end:
            finish_body(m_input.requests().body());
            break;
        case request_input::event::bad_request:
            reject_malformed(false);
            return;
        case request_input::event::header_too_large:
            reject_malformed(true);
            return;
        }
    }
}

// The response holds the session until it is answered (the cycle is broken
// by release_handlers), so a pending answer is never lost even while reading
// is paused. The last request's handle is used again when no handler kept it.
response_ptr session::make_response() {
    std::shared_ptr<response_sink> sink(shared_from_this(), static_cast<response_sink*>(this));
    if (m_previous_response && m_previous_response.use_count() == 1) {
        response_ptr res = std::move(m_previous_response);
        res->reuse(std::move(sink));
        return res;
    }
    m_previous_response.reset();
    return std::make_shared<http_response>(std::move(sink));
}

void session::start_request() {
    advance(session_event::header_read);
    request_input& requests = m_input.requests();
    m_keep_alive = requests.keep_alive();
    m_response = make_response();
    const response_ptr res = m_response;
    {
        const dispatch_guard guard(m_dispatching);
        run_guarded(res, [this, &res] { m_router->dispatch(res, m_input.requests().request()); });
    }
    if (m_state != session_state::body) return;
    // A client that asked waits for this before it sends the body.
    if (!res->ended() && requests.body_follows() && requests.expects_continue()) queue_output(CONTINUE_ANSWER);
}

void session::on_body_piece(std::string_view piece) {
    if (m_response) deliver(piece, false);
    if (m_state != session_state::body || !m_response || !m_response->ended()) return;
    m_drained += piece.size();
    if (m_drained > MAX_DRAINED_BODY_BYTES) {
        // Answered already; the rest of this body is not worth reading.
        m_keep_alive = false;
        advance(session_event::body_abandoned);
        finish_if_done();
    }
}

void session::finish_body(std::string_view last_piece) {
    advance(session_event::body_read);
    if (m_response) deliver(last_piece, true);
    finish_if_done();
}

void session::deliver(std::string_view chunk, bool last) {
    const response_ptr res = m_response;
    const dispatch_guard guard(m_dispatching);
    run_guarded(res, [&res, chunk, last] { res->deliver(chunk, last); });
}

void session::reject_malformed(bool too_large) {
    // A request that cannot be parsed ends the connection after one answer.
    m_keep_alive = false;
    const bool answered = m_state == session_state::body && m_response && m_response->ended();
    if (m_state == session_state::body && m_response && !answered) {
        // Its handler never gets the rest of its body.
        m_response->abort();
        m_response->release_handlers();
    }
    advance(session_event::malformed);
    if (!answered) {
        m_response = make_response();
        m_response->write_status(too_large ? "431 Request Header Fields Too Large" : "400 Bad Request");
        m_response->write_header("Content-Type", "application/json");
        const dispatch_guard guard(m_dispatching);
        m_response->end(error_body(too_large ? "Request header fields too large" : "Bad request"));
    }
    // Answered already, it closes once that answer is out.
    finish_if_done();
}

// Queued at once, also while the rest of a refused body is still arriving.
void session::on_response_ended() {
    if (m_state == session_state::closed) return;
    // A write error closes the connection, which may drop the last other
    // hold on it.
    const auto self = shared_from_this();
    const std::uint64_t length = m_response->body_length();
    std::string head = m_output.take_piece();
    m_response->append_head(!m_keep_alive, head);
    std::string_view body = m_response->body();
    // A shared body's own prefix goes with the head; the shared text is
    // written from where it lives.
    if (!m_response->shared_body().empty()) {
        head.append(body);
        body = m_response->shared_body();
        m_registry->answers.note_newest(body.data());
    }
    m_output.push(std::move(head));
    m_output.set_body(body, m_response->take_reader(), length, m_response->body_suffix());
    if (!m_output.writing()) write_more();
}

void session::queue_output(std::string_view text) {
    m_output.push_copy(text);
    if (!m_output.writing()) write_more();
}

// Writes what is queued, several pieces in one gathered write; every bit of
// progress restarts the idle period. An answer held in memory is written at
// once; only the rest, and streamed bodies, wait for the loop.
void session::write_more() {
    while (m_state != session_state::closed) {
        switch (m_output.next_step()) {
        case session_output::step::idle:
            // A handler that answered inside its call is followed by the
            // code that called it, which finishes the request.
            if (!m_dispatching) finish_if_done();
            return;
        case session_output::step::broken:
            close();
            return;
        case session_output::step::write_later:
            write_later();
            return;
        case session_output::step::write_now:
            break;
        }
        boost::system::error_code ec;
        const std::size_t n = m_socket.write_some(m_output.gather(), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            write_later();
            return;
        }
        if (ec) {
            close();
            return;
        }
        touch();
        m_output.consume(n);
    }
}

void session::write_later() {
    hold_answer();
    // Making room may have closed this very connection.
    if (m_state == session_state::closed) return;
    m_output.write_started();
    m_socket.async_write_some(m_output.gather(),
                              [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                  self->on_written(ec, n);
                              });
}

void session::on_written(const boost::system::error_code& ec, std::size_t n) {
    m_output.write_ended();
    if (m_state == session_state::closed) return;
    if (ec) {
        close();
        return;
    }
    touch();
    m_output.consume(n);
    write_more();
}

void session::hold_answer() {
    held_answer now;
    if (m_response && m_response->ended()) {
        // The response keeps its body whole until it is done with, however
        // much of it is sent.
        now.own_bytes = m_output.queued_bytes() + m_response->body().size() + m_response->body_suffix().size();
        now.shared = m_response->shared_body();
    }
    if (now == m_held) return;
    answer_memory& answers = m_registry->answers;
    answers.remove(m_held);
    answers.add(now);
    m_held = now;
    if (answers.total() > MAX_HELD_ANSWER_BYTES) drop_slowest_readers(*m_registry);
}

void session::release_answer() {
    if (m_held.empty()) return;
    m_registry->answers.remove(m_held);
    m_held = {};
}

bool session::answer_sent() const { return m_response && m_response->ended() && m_output.idle(); }

// The request is over once its body is read (the state says so) and its
// answer written.
void session::finish_if_done() {
    if (m_state != session_state::answering || !answer_sent()) return;
    release_answer();
    m_response->release_handlers();
    // An answer written from shared text keeps that text (a status snapshot
    // the next poll replaces) alive: an idle connection does not keep it.
    if (m_response->shared_body().empty()) m_previous_response = std::move(m_response);
    else m_response.reset();
    advance(session_event::answer_sent);
    if (m_state == session_state::lingering) {
        start_lingering();
        return;
    }
    m_input.next_request();
    m_output.restart_count();
    m_drained = 0;
    process();
    read_more();
}

void session::start_lingering() {
    boost::system::error_code ignored;
    m_socket.shutdown(unix_socket::shutdown_send, ignored);
    m_input.discard();
    touch();
    arm_timer(m_last_activity + LINGER_TIMEOUT);
    read_more();
}

}  // namespace httpd
