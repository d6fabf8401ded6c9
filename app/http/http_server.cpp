#include "http/http_server.hpp"

#include "http/session.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/resource.h>
#include <sys/stat.h>

namespace httpd {

namespace asio = boost::asio;

namespace {

// Pause before accepting again after an accept error (out of descriptors).
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(100);
// Connections are capped below the descriptor limit, keeping this many
// descriptors for NetBird commands, the daemon, iperf3 and the log files,
// and counting two per connection (a download holds its file open).
constexpr rlim_t DESCRIPTOR_RESERVE = 64;
constexpr rlim_t DESCRIPTORS_PER_CONNECTION = 2;
constexpr std::size_t MAX_CONNECTIONS = 1024;
// At most one warning about the cap in this time.
constexpr auto CAP_WARNING_INTERVAL = std::chrono::seconds(60);

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
      m_max_connections(connection_cap()) {
    m_registry->idle = std::make_shared<idle_wait>(loop.get_executor());
}

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
        const auto now = session_clock::now();
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
