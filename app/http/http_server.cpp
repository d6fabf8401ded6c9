#include "http/http_server.hpp"

#include "core/text_utils.hpp"
#include "http/request_input.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/core/string.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <limits>
#include <list>
#include <optional>

#include <sys/resource.h>
#include <sys/stat.h>

namespace httpd {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using clock = std::chrono::steady_clock;

namespace {

// The frame's own answers carry fixed ASCII messages without quotes or
// backslashes, so their JSON needs no escaping.
// Example: error_body("Not found") -> {"error":"Not found"}
std::string error_body(std::string_view message) {
    return "{\"error\":\"" + std::string(message) + "\"}";
}

constexpr std::size_t DEFAULT_MAX_HEADER_BYTES = 4096;
constexpr std::size_t READ_CHUNK_BYTES = 16 * 1024;
// Pipelined bytes buffered while a response is pending; reading pauses beyond it.
constexpr std::size_t MAX_BUFFERED_BYTES = 64 * 1024;
// The body of a request that was answered early (413, say) is read and
// dropped up to this much, to keep the connection; beyond it the connection
// ends once the answer is out.
constexpr std::uint64_t MAX_DRAINED_BODY_BYTES = 1024 * 1024;
// A connection that makes no progress for this long (no next request, a
// stalled body, a client that stops reading its answer) is closed, so idle
// clients cannot use up the descriptors. No limit applies while the answer
// is being prepared.
constexpr auto IDLE_TIMEOUT = std::chrono::seconds(10);
// A request must arrive, header and body, within this grace period plus
// time for its bytes at the minimum rate, however often bytes trickle in.
constexpr auto REQUEST_ARRIVAL_GRACE = std::chrono::seconds(10);
constexpr double MIN_ARRIVAL_BYTES_PER_SECOND = 1024;
// After an answer that ends the connection, what the client still sends is
// read and dropped for up to this long: closing with unread input would
// reset the connection before the client has read the answer.
constexpr auto LINGER_TIMEOUT = std::chrono::seconds(2);
// Pause before accepting again after an accept error (out of descriptors).
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(100);
// A streamed body (a log file, a debug bundle) goes out in pieces of this
// size, the next one read when the previous one is sent.
constexpr std::size_t STREAM_PIECE_BYTES = 64 * 1024;
// Connections are capped below the descriptor limit, keeping this many
// descriptors for NetBird commands, the daemon, iperf3 and the log files,
// and counting two per connection (a download holds its file open).
constexpr rlim_t DESCRIPTOR_RESERVE = 64;
constexpr rlim_t DESCRIPTORS_PER_CONNECTION = 2;
constexpr std::size_t MAX_CONNECTIONS = 1024;
// At most one warning about the cap in this time.
constexpr auto CAP_WARNING_INTERVAL = std::chrono::seconds(60);
constexpr std::string_view CONTINUE_ANSWER = "HTTP/1.1 100 Continue\r\n\r\n";
// Output pieces handed to one gathered write.
constexpr std::size_t MAX_GATHER = 4;
// Written pieces whose memory is kept for the next ones.
constexpr std::size_t SPARE_PIECES = 4;

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

// Example: a soft limit of 256 descriptors allows 96 connections; 1024 allows 480.
std::size_t connection_cap() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return MAX_CONNECTIONS;
    const rlim_t soft = limit.rlim_cur;
    const rlim_t usable = soft > 2 * DESCRIPTOR_RESERVE ? soft - DESCRIPTOR_RESERVE : soft / 2;
    return std::clamp<std::size_t>(static_cast<std::size_t>(usable / DESCRIPTORS_PER_CONNECTION), 1,
                                   MAX_CONNECTIONS);
}

}  // namespace

class session;

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

// The open connections, for the cap.
struct connection_registry {
    std::list<session*> sessions;
};

// One connection: requests are read, handled and answered in order.
class session : public std::enable_shared_from_this<session>, public response_sink {
public:
    session(unix_socket socket, std::shared_ptr<const router> routes, std::shared_ptr<connection_registry> registry)
        : m_socket(std::move(socket)),
          m_router(std::move(routes)),
          m_registry(std::move(registry)),
          m_timer(m_socket.get_executor()) {}

    ~session() { unregister(); }

    void start() {
        m_entry = m_registry->sessions.insert(m_registry->sessions.end(), this);
        m_registered = true;
        // Answers are first written at once (see write_more); the socket
        // must say "would block" rather than block the loop.
        boost::system::error_code ignored;
        m_socket.non_blocking(true, ignored);
        // HTTP has no urgent data: a byte a client sends out of band is read
        // in its place like any other, instead of vanishing from the request.
        m_socket.set_option(asio::socket_base::out_of_band_inline(true), ignored);
        touch();
        begin_request();
        arm_timer(m_last_activity + IDLE_TIMEOUT);
        read_more();
    }

    // Waiting for its handler's answer (a NetBird command may be running for
    // it): the one kind of connection that is never closed to make room.
    bool awaiting_answer() const { return m_phase == phase::responding && m_response && !m_response->ended(); }

    // Bytes moved for the current request (read and written) per second
    // since it began; 0 between requests and while lingering.
    // Example: 200 bytes of a request that began 2 s ago -> 100.
    double progress_rate(clock::time_point now) const {
        if (!m_request_started || m_phase == phase::lingering) return 0;
        const double seconds = std::max(std::chrono::duration<double>(now - *m_request_started).count(), 1e-3);
        return static_cast<double>(m_input.request_bytes() + m_written_bytes) / seconds;
    }
    clock::time_point last_activity() const { return m_last_activity; }

    void close() {
        if (m_phase == phase::closed) return;
        m_phase = phase::closed;
        unregister();
        m_timer.cancel();
        m_reader = nullptr;  // a streamed file is closed at once
        if (m_response) {
            m_response->abort();
            m_response->release_handlers();
        }
        boost::system::error_code ignored;
        m_socket.close(ignored);
    }

private:
    enum class phase { header, body, responding, lingering, closed };

    void unregister() {
        if (!m_registered) return;
        m_registered = false;
        m_registry->sessions.erase(m_entry);
    }

    // Progress restarts the idle period; reading the clock costs no system call.
    void touch() { m_last_activity = clock::now(); }

    void begin_request() {
        m_input.next_request();
        m_phase = phase::header;
        m_request_started.reset();
        m_written_bytes = 0;
        m_body_done = false;
        m_written = false;
        m_final_queued = false;
        m_drained = 0;
    }

    // The client owes us something: the rest of a request, reading its answer,
    // or its end of the connection.
    bool waiting_on_client() const {
        return m_phase == phase::header || m_phase == phase::body || m_phase == phase::lingering ||
               (m_writing && m_phase != phase::closed);
    }

    // A request is on its way in (its first byte is here).
    bool arriving() const { return m_request_started && (m_phase == phase::header || m_phase == phase::body); }

    // When the current request must have arrived, header and body: a grace
    // period plus time for its bytes at the minimum rate, so that a client
    // trickling a byte now and then cannot hold its connection for ever.
    // Example: 2048 bytes so far of a request begun at T -> T + 10 s + 2 s.
    clock::time_point arrival_deadline() const {
        const std::chrono::duration<double> allowance(static_cast<double>(m_input.request_bytes()) /
                                                      MIN_ARRIVAL_BYTES_PER_SECOND);
        return *m_request_started + REQUEST_ARRIVAL_GRACE + std::chrono::duration_cast<clock::duration>(allowance);
    }

    // One timer per connection, re-armed only when it fires (or when the
    // connection starts to linger), not at every request.
    void arm_timer(clock::time_point at) {
        m_timer.expires_at(at);
        m_timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (!ec) self->on_timer();
        });
    }

    void on_timer() {
        if (m_phase == phase::closed) return;
        const auto now = clock::now();
        if (!waiting_on_client()) {
            arm_timer(now + IDLE_TIMEOUT);
            return;
        }
        auto deadline = m_last_activity + (m_phase == phase::lingering ? LINGER_TIMEOUT : IDLE_TIMEOUT);
        if (arriving()) deadline = std::min(deadline, arrival_deadline());
        if (now >= deadline) {
            close();
            return;
        }
        arm_timer(deadline);
    }

    void read_more() {
        if (m_phase == phase::closed || m_reading || m_input.buffered() > MAX_BUFFERED_BYTES) return;
        m_reading = true;
        // Into a buffer of our own: parsing may consume (and so move) the
        // input's storage while this read is outstanding.
        m_socket.async_read_some(asio::buffer(m_read_chunk),
                                 [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                     self->on_read(ec, n);
                                 });
    }

    void on_read(const boost::system::error_code& ec, std::size_t n) {
        m_reading = false;
        if (ec) {
            close();
            return;
        }
        // While lingering, input is dropped and its deadline stays fixed.
        if (m_phase != phase::lingering) {
            touch();
            m_input.append(m_read_chunk.data(), n);
            process();
        }
        read_more();
    }

    // Tells the current request as much of the buffered input as it allows.
    void process() {
        while (m_phase == phase::header || m_phase == phase::body) {
            if (!m_request_started && m_input.buffered() > 0) m_request_started = clock::now();
            switch (m_input.next()) {
            case request_input::event::more_input:
            case request_input::event::held:
                return;
            case request_input::event::header:
                start_request();
                break;
            case request_input::event::body:
                on_body_piece(m_input.body());
                break;
            case request_input::event::body_end:
                finish_body(m_input.body());
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

    // The response holds the session until it is answered (the cycle is
    // broken by release_handlers), so a pending answer is never lost even
    // while reading is paused. The last request's handle is used again when
    // no handler kept it.
    response_ptr make_response() {
        std::shared_ptr<response_sink> sink(shared_from_this(), static_cast<response_sink*>(this));
        if (m_previous_response && m_previous_response.use_count() == 1) {
            response_ptr res = std::move(m_previous_response);
            res->reuse(std::move(sink));
            return res;
        }
        m_previous_response.reset();
        return std::make_shared<http_response>(std::move(sink));
    }

    // A piece of output with the memory of an earlier one, when there is one.
    std::string take_piece() {
        if (m_spares.empty()) return {};
        std::string piece = std::move(m_spares.back());
        m_spares.pop_back();
        piece.clear();
        return piece;
    }

    void start_request() {
        m_phase = phase::body;
        m_keep_alive = m_input.keep_alive();
        m_response = make_response();
        const response_ptr res = m_response;
        {
            const dispatch_guard guard(m_dispatching);
            run_guarded(res, [this, &res] { m_router->dispatch(res, m_input.request()); });
        }
        if (m_phase != phase::body) return;
        // A client that asked waits for this before it sends the body.
        if (!res->ended() && m_input.body_follows() && m_input.expects_continue()) queue_output(CONTINUE_ANSWER);
    }

    void on_body_piece(std::string_view piece) {
        if (m_response) deliver(piece, false);
        if (m_phase != phase::body || !m_response || !m_response->ended()) return;
        m_drained += piece.size();
        if (m_drained > MAX_DRAINED_BODY_BYTES) {
            // Answered already; the rest of this body is not worth reading.
            m_keep_alive = false;
            m_phase = phase::responding;
            m_body_done = true;
            maybe_finish();
        }
    }

    void finish_body(std::string_view last_piece) {
        m_phase = phase::responding;
        m_body_done = true;
        if (m_response) deliver(last_piece, true);
        if (m_phase != phase::closed) maybe_finish();
    }

    void deliver(std::string_view chunk, bool last) {
        const response_ptr res = m_response;
        const dispatch_guard guard(m_dispatching);
        run_guarded(res, [&res, chunk, last] { res->deliver(chunk, last); });
    }

    void on_response_ended() override {
        if (m_phase == phase::closed || m_final_queued) return;
        // A write error closes the connection, which may drop the last
        // other hold on it.
        const auto self = shared_from_this();
        // Queued at once, also while the rest of a refused body is still arriving.
        m_final_queued = true;
        const std::uint64_t length = m_response->body_length();
        std::string head = take_piece();
        m_response->append_head(!m_keep_alive, head);
        m_out.push_back(std::move(head));
        m_reader = m_response->take_reader();
        m_stream_left = m_reader ? length : 0;
        m_body_out = m_response->body();
        if (!m_writing) write_more();
    }

    void queue_output(std::string_view text) {
        std::string piece = take_piece();
        piece.append(text);
        m_out.push_back(std::move(piece));
        if (!m_writing) write_more();
    }

    bool output_empty() const { return m_out_front == m_out.size() && m_body_out.empty(); }

    // Reads the next piece of a streamed body when everything before it is sent.
    void fill_stream_piece() {
        if (!m_reader) return;
        if (m_stream_left == 0) {
            m_reader = nullptr;
            return;
        }
        std::string piece = take_piece();
        piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(STREAM_PIECE_BYTES, m_stream_left)));
        std::size_t got = 0;
        try {
            got = std::min(m_reader(piece.data(), piece.size()), piece.size());
        } catch (const std::exception& e) {
            spdlog::error("Reading a response body failed: {}", e.what());
        }
        if (got == 0) {
            // The promised length cannot be kept: end the connection rather
            // than let the client take what follows for the rest of the body.
            close();
            return;
        }
        piece.resize(got);
        m_stream_left -= got;
        if (m_stream_left == 0) m_reader = nullptr;
        m_out.push_back(std::move(piece));
    }

    // Writes what is queued, several pieces in one gathered write; every bit
    // of progress restarts the idle period. An answer held in memory is
    // written at once, which nearly always takes it whole; only the rest, and
    // streamed bodies (so that one fast download cannot hold the loop), wait
    // for the loop.
    void write_more() {
        while (true) {
            if (m_phase == phase::closed) return;
            if (output_empty()) fill_stream_piece();
            if (m_phase == phase::closed) return;
            if (output_empty()) {
                if (m_final_queued && !m_reader) {
                    m_written = true;
                    // A handler that answered inside its call is followed
                    // by the code that called it, which finishes the request.
                    if (!m_dispatching) maybe_finish();
                }
                return;
            }
            if (m_reader) break;
            boost::system::error_code ec;
            const std::size_t n = m_socket.write_some(gather(), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) break;
            if (ec) {
                close();
                return;
            }
            consume_output(n);
        }
        m_writing = true;
        m_socket.async_write_some(gather(), [self = shared_from_this()](const boost::system::error_code& ec,
                                                                        std::size_t n) { self->on_written(ec, n); });
    }

    // The queued output as one gathered write.
    std::array<asio::const_buffer, MAX_GATHER> gather() const {
        // Unused slots stay empty buffers, which the write skips.
        std::array<asio::const_buffer, MAX_GATHER> pieces{};
        std::size_t count = 0;
        for (std::size_t i = m_out_front; i < m_out.size() && count < pieces.size() - 1; ++i) {
            const std::size_t skip = count == 0 ? m_front_sent : 0;
            pieces[count++] = asio::buffer(m_out[i].data() + skip, m_out[i].size() - skip);
        }
        // The body follows everything queued before it (the head).
        if (m_out_front + count == m_out.size() && !m_body_out.empty())
            pieces[count++] = asio::buffer(m_body_out.data(), m_body_out.size());
        return pieces;
    }

    void on_written(const boost::system::error_code& ec, std::size_t n) {
        m_writing = false;
        if (m_phase == phase::closed) return;
        if (ec) {
            close();
            return;
        }
        consume_output(n);
        write_more();
    }

    // Drops `n` written bytes from the front of the output.
    void consume_output(std::size_t n) {
        touch();
        m_written_bytes += n;
        while (n > 0 && m_out_front < m_out.size()) {
            std::string& front = m_out[m_out_front];
            const std::size_t left = front.size() - m_front_sent;
            if (n < left) {
                m_front_sent += n;
                break;
            }
            n -= left;
            if (m_spares.size() < SPARE_PIECES) m_spares.push_back(std::move(front));
            ++m_out_front;
            m_front_sent = 0;
        }
        m_body_out.remove_prefix(std::min(n, m_body_out.size()));
        if (m_out_front == m_out.size()) {
            m_out.clear();
            m_out_front = 0;
        }
    }

    // The request is over once its body is read and its response written.
    void maybe_finish() {
        if (!m_body_done || !m_written || m_phase == phase::closed) return;
        if (m_response) m_response->release_handlers();
        m_previous_response = std::move(m_response);
        if (!m_keep_alive) {
            start_lingering();
            return;
        }
        begin_request();
        process();
        read_more();
    }

    void start_lingering() {
        boost::system::error_code ignored;
        m_socket.shutdown(unix_socket::shutdown_send, ignored);
        m_phase = phase::lingering;
        m_input.discard();
        m_request_started.reset();
        touch();
        arm_timer(m_last_activity + LINGER_TIMEOUT);
        read_more();
    }

    void reject_malformed(bool too_large) {
        // A request that cannot be parsed ends the connection after one answer.
        m_keep_alive = false;
        m_body_done = true;
        if (m_phase == phase::body && m_response) {
            if (m_response->ended()) {
                // Answered already: close once that answer is out.
                m_phase = phase::responding;
                maybe_finish();
                return;
            }
            // Its handler never gets the rest of its body.
            m_response->abort();
            m_response->release_handlers();
        }
        m_phase = phase::responding;
        m_response = make_response();
        m_response->write_status(too_large ? "431 Request Header Fields Too Large" : "400 Bad Request");
        m_response->write_header("Content-Type", "application/json");
        {
            const dispatch_guard guard(m_dispatching);
            m_response->end(error_body(too_large ? "Request header fields too large" : "Bad request"));
        }
        maybe_finish();
    }

    unix_socket m_socket;
    std::shared_ptr<const router> m_router;
    std::shared_ptr<connection_registry> m_registry;
    std::list<session*>::iterator m_entry;
    bool m_registered = false;
    loop_timer m_timer;
    clock::time_point m_last_activity{};
    std::optional<clock::time_point> m_request_started;  // the current request's first byte arrived
    std::uint64_t m_written_bytes = 0;                     // of the current request's answer
    request_input m_input{max_header_bytes()};
    response_ptr m_response;
    response_ptr m_previous_response;  // kept for the next request when nobody else holds it
    std::vector<std::string> m_out;    // output not yet written, from m_out_front on
    std::size_t m_out_front = 0;
    std::size_t m_front_sent = 0;      // bytes of m_out[m_out_front] already written
    std::string_view m_body_out;       // the rest of the response body, inside m_response
    std::vector<std::string> m_spares;
    http_response::body_reader m_reader;
    std::uint64_t m_stream_left = 0;
    std::uint64_t m_drained = 0;  // body bytes read after the request was answered
    std::array<char, READ_CHUNK_BYTES> m_read_chunk{};
    phase m_phase = phase::header;
    bool m_reading = false;  // a read is outstanding
    bool m_writing = false;
    bool m_written = false;
    bool m_final_queued = false;
    bool m_body_done = false;
    bool m_keep_alive = true;
    bool m_dispatching = false;  // inside a handler called by this session
};

void router::add(std::string method, std::string path, handler h) {
    m_routes.push_back({std::move(method), std::move(path), std::move(h)});
}

void router::dispatch(const response_ptr& res, http_request& req) const {
    const std::string_view path = req.path();
    std::string allowed;
    for (const auto& r : m_routes) {
        if (r.path != path) continue;
        if (r.method == req.method) {
            r.h(res, req);
            return;
        }
        allowed += (allowed.empty() ? "" : ", ") + r.method;
    }
    if (allowed.empty()) {
        res->write_status("404 Not Found");
        res->write_header("Content-Type", "application/json");
        res->end(error_body("Not found"));
        return;
    }
    res->write_status("405 Method Not Allowed");
    res->write_header("Allow", allowed);
    res->write_header("Content-Type", "application/json");
    res->end(error_body("Method not allowed"));
}

server::server(boost::asio::io_context& loop, router routes)
    : m_router(std::make_shared<const router>(std::move(routes))),
      m_acceptor(loop),
      m_retry_timer(loop),
      m_registry(std::make_shared<connection_registry>()),
      m_max_connections(connection_cap()) {}

server::~server() {
    // Sessions still open hold the registry; they must not reach back into it.
    const auto sessions = m_registry->sessions;
    for (session* s : sessions) s->close();
}

boost::system::error_code server::listen(const std::string& path, mode_t mode) {
    boost::system::error_code ec;
    const asio::local::stream_protocol::endpoint endpoint(path);
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) m_acceptor.bind(endpoint, ec);
    if (!ec && ::chmod(path.c_str(), mode) != 0)
        spdlog::warn("Failed to chmod API socket {}: {}", path, std::strerror(errno));
    if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        boost::system::error_code ignored;
        m_acceptor.close(ignored);
        return ec;
    }
    accept_next();
    return {};
}

void server::accept_next() {
    m_acceptor.async_accept([this](const boost::system::error_code& ec, unix_socket socket) {
        if (!ec) admit(std::move(socket));
        if (ec == asio::error::operation_aborted) return;
        if (!ec) {
            accept_next();
            return;
        }
        m_retry_timer.expires_after(ACCEPT_RETRY_DELAY);
        m_retry_timer.async_wait([this](const boost::system::error_code& wait_error) {
            if (!wait_error) accept_next();
        });
    });
}

void server::admit(unix_socket socket) {
    if (m_registry->sessions.size() >= m_max_connections) {
        // At the cap, the connection that makes the least progress makes
        // room (between requests, the one idle longest), whatever it is
        // doing, unless it waits for an answer; when every connection waits
        // for one, the new connection is refused.
        const auto now = clock::now();
        session* victim = nullptr;
        double victim_rate = 0;
        for (session* s : m_registry->sessions) {
            if (s->awaiting_answer()) continue;
            const double rate = s->progress_rate(now);
            if (victim == nullptr || rate < victim_rate ||
                (rate == victim_rate && s->last_activity() < victim->last_activity())) {
                victim = s;
                victim_rate = rate;
            }
        }
        if (now - m_last_cap_warning >= CAP_WARNING_INTERVAL) {
            m_last_cap_warning = now;
            spdlog::warn("API connections at their limit of {}: closing those that make the least progress",
                         m_max_connections);
        }
        if (victim == nullptr) {
            boost::system::error_code ignored;
            socket.close(ignored);
            return;
        }
        victim->close();
    }
    std::make_shared<session>(std::move(socket), m_router, m_registry)->start();
}

}  // namespace httpd
