#include "http/peer_end_watch.hpp"

#include <spdlog/spdlog.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/epoll.h>

namespace httpd {

namespace {

// Events taken from the set at a time.
constexpr int EVENTS_PER_TURN = 64;
// The peer's end of its output (errors and hang-ups always count),
// edge-triggered: reported as it happens, not again and again while it lasts.
constexpr std::uint32_t END_EVENTS = EPOLLRDHUP | EPOLLET;

int make_set() {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) throw std::runtime_error(std::string("epoll_create1 failed: ") + std::strerror(errno));
    return fd;
}

}  // namespace

peer_end_watch::peer_end_watch(boost::asio::io_context& loop) : m_set(loop.get_executor(), make_set()) {}

peer_end_watch::~peer_end_watch() = default;

boost::system::error_code peer_end_watch::add(int fd, watcher& w, std::uint64_t& token) {
    token = m_next_token++;
    epoll_event event{};
    event.events = END_EVENTS;
    event.data.u64 = token;
    if (::epoll_ctl(m_set.native_handle(), EPOLL_CTL_ADD, fd, &event) != 0)
        return {errno, boost::system::system_category()};
    m_watchers.emplace(token, &w);
    arm();
    return {};
}

void peer_end_watch::remove(int fd, std::uint64_t token) {
    if (m_watchers.erase(token) == 0) return;
    // Explicitly: a child process forked just now may still hold the
    // connection open, and with it the registration.
    ::epoll_ctl(m_set.native_handle(), EPOLL_CTL_DEL, fd, nullptr);
}

void peer_end_watch::arm() {
    if (m_armed) return;
    m_armed = true;
    m_set.async_wait(boost::asio::posix::descriptor_base::wait_read,
                     [weak = weak_from_this()](const boost::system::error_code& ec) {
                         const auto self = weak.lock();
                         if (!self) return;
                         if (ec) {
                             self->m_armed = false;
                             return;
                         }
                         self->on_readable();
                     });
}

void peer_end_watch::on_readable() {
    std::array<epoll_event, EVENTS_PER_TURN> events{};
    // Still marked armed while the events are handled, so that nothing
    // handled here waits for the set twice. A full batch is followed by
    // another: what it left behind would not wake the loop again.
    while (true) {
        const int count = ::epoll_wait(m_set.native_handle(), events.data(), EVENTS_PER_TURN, 0);
        if (count < 0) {
            if (errno == EINTR) continue;
            spdlog::error("Waiting for API connections failed: {}", std::strerror(errno));
            break;
        }
        for (int i = 0; i < count; ++i) {
            // A watcher handled earlier in this batch may have closed this one.
            const auto found = m_watchers.find(events[static_cast<std::size_t>(i)].data.u64);
            if (found != m_watchers.end()) found->second->on_peer_end();
        }
        if (count < EVENTS_PER_TURN) break;
    }
    m_armed = false;
    if (!m_watchers.empty()) arm();
}

}  // namespace httpd
