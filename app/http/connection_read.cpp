#include "http/connection_read.hpp"

#include <boost/asio/error.hpp>

#include <cerrno>

#include <sys/socket.h>
#include <sys/uio.h>

namespace httpd {

namespace detail = boost::asio::detail;

connection_read::connection_read(client_socket& socket, target& reader, char* data, std::size_t size)
    : reactor_op(boost::system::error_code(), &perform, &complete),
      m_socket(socket),
      m_reactor(boost::asio::use_service<detail::reactor>(
          static_cast<boost::asio::execution_context&>(socket.get_executor().context()))),
      m_target(reader),
      m_data(data),
      m_size(size) {}

void connection_read::start(std::shared_ptr<void> hold) {
    ec_ = {};
    bytes_transferred_ = 0;
    m_performed = false;
    m_hold = std::move(hold);
    m_reactor.start_op(detail::reactor::read_op, m_socket.native_handle(), m_socket.registration(), this, false,
                       true);
}

bool connection_read::read_now(int fd, char* data, std::size_t size, boost::system::error_code& ec, std::size_t& n,
                               bool& cut_short) {
    iovec part{data, size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    while (true) {
        // No room for passed descriptors: the kernel drops them (and closes them).
        const ssize_t got = ::recvmsg(fd, &message, 0);
        if (got > 0) {
            n = static_cast<std::size_t>(got);
            // A read stops at passed descriptors even when more input is there.
            cut_short = (message.msg_flags & MSG_CTRUNC) != 0;
            return true;
        }
        if (got == 0) {
            ec = boost::asio::error::eof;
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        ec = boost::system::error_code(errno, boost::system::system_category());
        return true;
    }
}

detail::reactor_op::status connection_read::perform(reactor_op* base) {
    auto* op = static_cast<connection_read*>(base);
    bool cut_short = false;
    if (!read_now(op->m_socket.native_handle(), op->m_data, op->m_size, op->ec_, op->bytes_transferred_, cut_short))
        return not_done;
    op->m_performed = true;
    const bool drained = !op->ec_ && !cut_short && op->bytes_transferred_ < op->m_size;
    return drained ? done_and_exhausted : done;
}

void connection_read::complete(void* owner, detail::operation* base, const boost::system::error_code&,
                               std::size_t) {
    auto* op = static_cast<connection_read*>(base);
    // May be the last hold on the target, which owns this read: released
    // after the read is last touched.
    const std::shared_ptr<void> hold = std::move(op->m_hold);
    op->m_performed = false;
    if (owner == nullptr) return;  // the loop is being destroyed
    // Copied: the target may start the next read before it is done with these.
    const boost::system::error_code ec = op->ec_;
    const std::size_t n = op->bytes_transferred_;
    op->m_target.on_read(ec, n);
}

}  // namespace httpd
