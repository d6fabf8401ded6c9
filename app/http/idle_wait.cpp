#include "http/idle_wait.hpp"

#include <boost/asio/error.hpp>

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace httpd {

namespace {

// Ready connections taken from the set per call; more are taken by calling again.
constexpr int READY_PER_CALL = 64;
// Rounds of telling per wake-up of the loop while the set has more ready:
// clients answered in one round send again during the next.
constexpr int ROUNDS_PER_WAKE = 4;

}  // namespace

idle_wait::idle_wait(boost::asio::io_context::executor_type loop) : m_set(loop) {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return;
    boost::system::error_code ec;
    m_set.assign(fd, ec);
    if (ec) ::close(fd);
}

bool idle_wait::watch(int fd) {
    if (!m_set.is_open()) return false;
    // Edge-triggered: each arrival of bytes is told once, whether or not the
    // connection is parked then; one that is not reads them the usual way.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.fd = fd;
    return ::epoll_ctl(m_set.native_handle(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void idle_wait::park(int fd, idle_waiter& waiter) {
    if (static_cast<std::size_t>(fd) >= m_parked.size()) m_parked.resize(static_cast<std::size_t>(fd) + 1);
    if (m_parked[fd] == nullptr) ++m_parked_count;
    m_parked[fd] = &waiter;
    if (!m_armed) arm();
}

void idle_wait::unpark(int fd) {
    if (!parked(fd)) return;
    m_parked[fd] = nullptr;
    --m_parked_count;
}

void idle_wait::arm() {
    m_armed = true;
    m_set.async_wait(boost::asio::posix::descriptor_base::wait_read,
                     [self = shared_from_this()](const boost::system::error_code& ec) {
                         self->m_armed = false;
                         if (!ec) self->on_ready();
                         else if (ec != boost::asio::error::operation_aborted) self->give_up();
                     });
}

void idle_wait::on_ready() {
    std::array<epoll_event, READY_PER_CALL> events{};
    for (int round = 0; round < ROUNDS_PER_WAKE; ++round) {
        m_ready.clear();
        for (;;) {
            ++m_looks;
            const int n = ::epoll_wait(m_set.native_handle(), events.data(), READY_PER_CALL, 0);
            if (n < 0 && errno != EINTR) {
                give_up();
                return;
            }
            for (int i = 0; i < n; ++i) m_ready.push_back(events[i].data.fd);
            if (n < READY_PER_CALL) break;
        }
        if (m_ready.empty()) break;
        // One told may close another (which unparks it) or park again: each is
        // looked up when its turn comes. Those not parked read the usual way.
        for (const int fd : m_ready) {
            if (!parked(fd)) continue;
            idle_waiter* waiter = m_parked[fd];
            unpark(fd);
            waiter->on_idle_readable();
        }
    }
    if (m_parked_count > 0 && !m_armed) arm();
}

void idle_wait::give_up() {
    m_failed = true;
    for (std::size_t fd = 0; fd < m_parked.size(); ++fd) {
        idle_waiter* waiter = m_parked[fd];
        if (waiter == nullptr) continue;
        unpark(static_cast<int>(fd));
        waiter->on_idle_readable();
    }
}

}  // namespace httpd
