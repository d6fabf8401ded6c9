#pragma once
// Keep-alive connections waiting for their next request, watched together.
// Asio starts every read with an attempt at it; between requests, on a busy
// loop, that attempt finds nothing and costs a system call per request. The
// connections parked here are in an epoll set of our own, watched through one
// descriptor of the loop: a wake-up costs a reading of the set per round and
// one re-arming of the watch, however many connections it finds ready. Runs
// on the loop thread only.

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace httpd {

// What a parked connection is told when its next bytes (or its end) are there.
class idle_waiter {
public:
    virtual void on_idle_readable() = 0;

protected:
    ~idle_waiter() = default;
};

class idle_wait final : public std::enable_shared_from_this<idle_wait> {
public:
    explicit idle_wait(boost::asio::io_context::executor_type loop);
    idle_wait(const idle_wait&) = delete;
    idle_wait& operator=(const idle_wait&) = delete;

    // Once per connection; false when it cannot be watched (it then reads
    // the usual way). Closing the socket ends the watch.
    bool watch(int fd);
    // False once the wait failed: every connection then reads the usual way.
    bool usable() const { return m_set.is_open() && !m_failed; }
    // Until the connection's next bytes; unpark before closing it.
    void park(int fd, idle_waiter& waiter);
    void unpark(int fd);
    bool parked(int fd) const {
        return fd >= 0 && static_cast<std::size_t>(fd) < m_parked.size() && m_parked[fd] != nullptr;
    }
    // How many times the set was read. Bytes that come after a connection's
    // read are told by a later reading of the set, unless the set was read
    // in between: then the telling went by while it was not parked, and it
    // must not park before it has read again.
    // Example: read at looks() == 7, no reading of the set since: may park.
    std::uint64_t looks() const { return m_looks; }

private:
    void arm();
    void on_ready();
    // Tells every parked connection, as if its bytes had come.
    void give_up();

    boost::asio::posix::basic_stream_descriptor<boost::asio::io_context::executor_type> m_set;
    std::vector<idle_waiter*> m_parked;  // by descriptor; null: not parked
    std::size_t m_parked_count = 0;
    std::vector<int> m_ready;  // kept for its room
    bool m_armed = false;
    bool m_failed = false;
    std::uint64_t m_looks = 0;
};

}  // namespace httpd
