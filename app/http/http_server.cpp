#include "http/http_server.hpp"

#include "api_json.hpp"
#include "text_utils.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <spdlog/spdlog.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

namespace httpd {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using unix_socket = asio::local::stream_protocol::socket;

constexpr std::size_t DEFAULT_MAX_HEADER_BYTES = 4096;
constexpr std::size_t READ_CHUNK_BYTES = 16 * 1024;
constexpr std::size_t BODY_CHUNK_BYTES = 16 * 1024;
// Pipelined bytes buffered while a response is pending; reading pauses beyond it.
constexpr std::size_t MAX_BUFFERED_BYTES = 1024 * 1024;
// A connection that makes no progress for this long (no next request, a
// stalled body, a client that stops reading its answer) is closed, so idle
// clients cannot use up the descriptors. No limit applies while the answer
// is being prepared.
constexpr auto IDLE_TIMEOUT = std::chrono::seconds(10);
// Pause before accepting again after an accept error (out of descriptors).
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(100);

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
        res->end(api_json::error_json("Internal error"));
    }
}

std::size_t max_header_bytes() {
    // Same knob as the platform's usual HTTP library, for integrators used to it.
    if (const char* text = std::getenv("UWS_HTTP_MAX_HEADERS_SIZE")) {
        if (const auto value = text_utils::parse_int(text); value && *value > 0) return static_cast<std::size_t>(*value);
    }
    return DEFAULT_MAX_HEADER_BYTES;
}

class session : public std::enable_shared_from_this<session> {
public:
    session(unix_socket socket, std::shared_ptr<const router> routes)
        : m_socket(std::move(socket)), m_router(std::move(routes)), m_idle_timer(m_socket.get_executor()) {}

    void start() {
        begin_parse();
        read_more();
    }

private:
    enum class phase { header, body, responding, closed };

    void begin_parse() {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(max_header_bytes()));
        // The handlers enforce their own limit and ignore the rest of a refused body.
        m_parser->body_limit(std::numeric_limits<std::uint64_t>::max());
        m_phase = phase::header;
        m_body_done = false;
        m_written = false;
        m_writing = false;
        update_idle_timer();
    }

    // The client owes us something: the rest of a request, or reading its answer.
    bool waiting_on_client() const {
        return m_phase == phase::header || m_phase == phase::body || (m_writing && m_phase != phase::closed);
    }

    // Restarts the idle period when the client owes us something, else stops it.
    void update_idle_timer() {
        if (!waiting_on_client()) {
            m_idle_timer.cancel();
            return;
        }
        m_idle_timer.expires_after(IDLE_TIMEOUT);
        m_idle_timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (!ec && self->waiting_on_client()) self->close();
        });
    }

    void read_more() {
        if (m_reading || m_phase == phase::closed || m_buffer.size() > MAX_BUFFERED_BYTES) return;
        m_reading = true;
        // Read into a buffer of our own: parsing may consume (and so move)
        // m_buffer's storage while this read is outstanding.
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
        const auto space = m_buffer.prepare(n);
        std::memcpy(space.data(), m_read_chunk.data(), n);
        m_buffer.commit(n);
        process();
        update_idle_timer();
        read_more();
    }

    // Parses as much of the buffered input as the current request allows.
    void process() {
        while (m_phase == phase::header || m_phase == phase::body) {
            if (m_phase == phase::header) {
                if (m_buffer.size() == 0) return;
                boost::system::error_code ec;
                const std::size_t used = m_parser->put(m_buffer.data(), ec);
                m_buffer.consume(used);
                if (ec == bhttp::error::need_more) return;
                if (ec) {
                    reject_malformed(ec);
                    return;
                }
                if (m_parser->is_header_done()) start_request();
                continue;
            }
            if (!read_body_chunk()) return;
        }
    }

    // The response holds the session until it is answered (the cycle is
    // broken by release_handlers), so a pending answer is never lost even
    // while reading is paused.
    response_ptr make_response() {
        return std::make_shared<http_response>([self = shared_from_this()] { self->on_response_ended(); });
    }

    void start_request() {
        m_phase = phase::body;
        auto& header = m_parser->get();
        m_keep_alive = header.keep_alive();
        m_request.method = std::string(header.method_string());
        m_request.target = std::string(header.target());
        m_response = make_response();
        const response_ptr res = m_response;
        run_guarded(res, [&] { m_router->dispatch(res, m_request); });
        if (m_phase == phase::body && m_parser->is_done()) finish_body(std::string_view{});
    }

    // Feeds one piece of body to the handler; false when more input is needed.
    bool read_body_chunk() {
        if (m_parser->is_done()) return true;
        if (m_buffer.size() == 0) return false;
        auto& body = m_parser->get().body();
        body.data = m_body_chunk.data();
        body.size = m_body_chunk.size();
        boost::system::error_code ec;
        const std::size_t used = m_parser->put(m_buffer.data(), ec);
        m_buffer.consume(used);
        const std::size_t got = m_body_chunk.size() - body.size;
        bool need_more = false;
        if (ec == bhttp::error::need_buffer) {
            ec = {};
        } else if (ec == bhttp::error::need_more) {
            ec = {};
            need_more = true;
        }
        if (ec) {
            reject_malformed(ec);
            return false;
        }
        const std::string_view chunk(m_body_chunk.data(), got);
        if (m_parser->is_done()) {
            finish_body(chunk);
            return true;
        }
        if (got > 0 && m_response) deliver(chunk, false);
        // need_more can leave unparsed bytes behind (half a chunk header):
        // wait for the rest instead of parsing the same bytes again.
        return !need_more && (used > 0 || got > 0);
    }

    void finish_body(std::string_view last_chunk) {
        m_phase = phase::responding;
        update_idle_timer();
        m_body_done = true;
        if (m_response) deliver(last_chunk, true);
        if (m_phase != phase::closed) maybe_finish();
    }

    void deliver(std::string_view chunk, bool last) {
        const response_ptr res = m_response;
        run_guarded(res, [&] { res->deliver(chunk, last); });
    }

    void on_response_ended() {
        if (m_phase == phase::closed || m_writing || m_written) return;
        // Written at once, also while the rest of a refused body is still arriving.
        m_writing = true;
        m_out = m_response->serialise(!m_keep_alive);
        m_out_sent = 0;
        write_more();
    }

    // Writes piece by piece so that every bit of progress restarts the idle period.
    void write_more() {
        update_idle_timer();
        m_socket.async_write_some(asio::buffer(m_out.data() + m_out_sent, m_out.size() - m_out_sent),
                                  [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                      self->on_written(ec, n);
                                  });
    }

    void on_written(const boost::system::error_code& ec, std::size_t n) {
        if (m_phase == phase::closed) return;
        if (ec) {
            m_writing = false;
            close();
            return;
        }
        m_out_sent += n;
        if (m_out_sent < m_out.size()) {
            write_more();
            return;
        }
        m_writing = false;
        m_out.clear();
        m_written = true;
        update_idle_timer();
        maybe_finish();
    }

    // The request is over once its body is read and its response written.
    void maybe_finish() {
        if (!m_body_done || !m_written || m_phase == phase::closed) return;
        if (m_response) m_response->release_handlers();
        m_response.reset();
        if (!m_keep_alive) {
            boost::system::error_code ignored;
            m_socket.shutdown(unix_socket::shutdown_send, ignored);
            close();
            return;
        }
        begin_parse();
        process();
        read_more();
    }

    void reject_malformed(const boost::system::error_code& ec) {
        // A request that cannot be parsed ends the connection after one answer.
        if (m_phase == phase::body) {
            close();
            return;
        }
        const bool too_large = ec == bhttp::error::header_limit;
        m_keep_alive = false;
        m_phase = phase::responding;
        m_body_done = true;
        m_response = make_response();
        m_response->write_status(too_large ? "431 Request Header Fields Too Large" : "400 Bad Request");
        m_response->write_header("Content-Type", "application/json");
        m_response->end(api_json::error_json(too_large ? "Request header fields too large" : "Bad request"));
    }

    void close() {
        if (m_phase == phase::closed) return;
        m_phase = phase::closed;
        m_idle_timer.cancel();
        if (m_response) {
            m_response->abort();
            m_response->release_handlers();
        }
        boost::system::error_code ignored;
        m_socket.close(ignored);
    }

    unix_socket m_socket;
    std::shared_ptr<const router> m_router;
    beast::flat_buffer m_buffer;
    asio::steady_timer m_idle_timer;
    std::optional<bhttp::request_parser<bhttp::buffer_body>> m_parser;
    std::array<char, BODY_CHUNK_BYTES> m_body_chunk{};
    http_request m_request;
    response_ptr m_response;
    std::string m_out;
    std::size_t m_out_sent = 0;
    std::array<char, READ_CHUNK_BYTES> m_read_chunk{};
    phase m_phase = phase::header;
    bool m_reading = false;
    bool m_writing = false;
    bool m_written = false;
    bool m_body_done = false;
    bool m_keep_alive = true;
};

}  // namespace

std::string http_request::path() const { return target.substr(0, target.find('?')); }

std::string http_request::get_query(std::string_view key) const {
    const auto question = target.find('?');
    if (question == std::string::npos) return {};
    return text_utils::query_value(std::string_view(target).substr(question + 1), key);
}

void router::add(std::string method, std::string path, handler h) {
    m_routes.push_back({std::move(method), std::move(path), std::move(h)});
}

void router::dispatch(const response_ptr& res, http_request& req) const {
    const std::string path = req.path();
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
        res->end(api_json::error_json("Not found"));
        return;
    }
    res->write_status("405 Method Not Allowed");
    res->write_header("Allow", allowed);
    res->write_header("Content-Type", "application/json");
    res->end(api_json::error_json("Method not allowed"));
}

server::server(boost::asio::io_context& loop, router routes)
    : m_router(std::make_shared<const router>(std::move(routes))), m_acceptor(loop), m_retry_timer(loop) {}

server::~server() = default;

boost::system::error_code server::listen(const std::string& path) {
    boost::system::error_code ec;
    const asio::local::stream_protocol::endpoint endpoint(path);
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) m_acceptor.bind(endpoint, ec);
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
        if (!ec) std::make_shared<session>(std::move(socket), m_router)->start();
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

}  // namespace httpd
