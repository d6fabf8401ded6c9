#pragma once
// A small HTTP/1.1 server on a Unix-domain socket, run by the event loop.
// Requests are handled one at a time per connection, in order (keep-alive and
// pipelining work); the body reaches the handler in chunks; a read stays
// outstanding while a response is pending so that a client that goes away is
// noticed and the response's abort callback fires. A request must arrive
// within a bounded time, and at the connection cap the connection that makes
// the least progress makes room.

#include "http/http_request.hpp"
#include "http/http_response.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace httpd {

struct connection_registry;

// Sockets and timers bound to the io_context's own executor type, not the
// type-erased one: every operation is cheaper.
using loop_executor = boost::asio::io_context::executor_type;
using unix_socket = boost::asio::basic_stream_socket<boost::asio::local::stream_protocol, loop_executor>;
using unix_acceptor = boost::asio::basic_socket_acceptor<boost::asio::local::stream_protocol, loop_executor>;
using loop_timer = boost::asio::basic_waitable_timer<std::chrono::steady_clock,
                                                     boost::asio::wait_traits<std::chrono::steady_clock>, loop_executor>;

using handler = std::function<void(const response_ptr&, http_request&)>;

class router {
public:
    void add(std::string method, std::string path, handler h);
    // Runs the matching handler, or answers 404/405 with a JSON error body.
    void dispatch(const response_ptr& res, http_request& req) const;

private:
    struct route {
        std::string method;
        std::string path;
        handler h;
    };
    std::vector<route> m_routes;
};

class server {
public:
    server(boost::asio::io_context& loop, router routes);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    // Binds `path`, gives the socket file `mode` (before any client can
    // connect, so none ever finds it closed to them), listens and then
    // accepts connections on the loop.
    boost::system::error_code listen(const std::string& path, mode_t mode);

private:
    void accept_next();
    // Starts a session, making room first when the connections are at their cap.
    void admit(unix_socket socket);

    std::shared_ptr<const router> m_router;
    unix_acceptor m_acceptor;
    loop_timer m_retry_timer;
    std::shared_ptr<connection_registry> m_registry;
    std::size_t m_max_connections;
    std::chrono::steady_clock::time_point m_last_cap_warning{};
};

}  // namespace httpd
