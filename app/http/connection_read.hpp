#pragma once
// A read of a client connection, run by the loop's reactor, that tells the
// reactor when the connection has run dry (the read came back short). The
// reactor then starts the next read without trying it first, which would
// nearly always find nothing (a keep-alive client is still reading the
// answer), and without re-arming the descriptor, and runs it when the
// connection reports news. A keep-alive request then costs one read and one
// write, as in event-driven web servers. The reactor's interface for this is
// not a public one, but it is the one every socket of the loop goes through.
//
// A short read may leave the peer's end of the connection unseen, when it
// came with the last data: the server learns of that end from its
// peer_end_watch instead.

#include "http/http_server.hpp"

// The loop first: the reactor's header needs the scheduler's.
#include <boost/asio/io_context.hpp>

#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <memory>

namespace httpd {

// The loop's socket, with its registration in the reactor within reach.
class client_socket : public unix_socket {
public:
    explicit client_socket(unix_socket&& socket) : unix_socket(std::move(socket)) {}
    boost::asio::detail::reactor::per_descriptor_data& registration() {
        return impl_.get_implementation().reactor_data_;
    }
};

class connection_read : private boost::asio::detail::reactor_op {
public:
    class target {
    public:
        virtual void on_read(const boost::system::error_code& ec, std::size_t n) = 0;

    protected:
        ~target() = default;
    };

    // Reads go into `data` (`size` bytes); `reader` is told of each one.
    connection_read(client_socket& socket, target& reader, char* data, std::size_t size);

    // Starts a read; `hold` keeps the target alive until it is told. The
    // socket must be non-blocking.
    void start(std::shared_ptr<void> hold);
    // The started read has its result, which the target is yet to get.
    bool performed() const { return m_performed; }

    // One read now, outside the reactor: false when nothing was there.
    // `cut_short`: the read stopped early although more input may be there.
    static bool read_now(int fd, char* data, std::size_t size, boost::system::error_code& ec, std::size_t& n,
                         bool& cut_short);

private:
    static status perform(reactor_op* base);
    static void complete(void* owner, boost::asio::detail::operation* base, const boost::system::error_code&,
                         std::size_t);

    client_socket& m_socket;
    boost::asio::detail::reactor& m_reactor;
    target& m_target;
    char* m_data;
    std::size_t m_size;
    std::shared_ptr<void> m_hold;
    bool m_performed = false;
};

}  // namespace httpd
