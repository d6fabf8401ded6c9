#pragma once
// Tells the API's client connections when their peer has ended its side.
// Their reads learn of that end only when they read it, and a read that came
// back short does not look again until the connection reports news; but an
// end that arrived together with the last request is no news any more. The
// connections are registered once, edge-triggered, for that end alone, in an
// epoll set of our own, which is one descriptor of the event loop: arriving
// data does not wake it. A connection whose client left (or half-closed,
// which is how a client says it is leaving) is then read to its end and
// closed, as before, instead of waiting for its idle time-out.

#include "http/http_server.hpp"

#include <boost/asio/posix/basic_stream_descriptor.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace httpd {

class peer_end_watch : public std::enable_shared_from_this<peer_end_watch> {
public:
    // A watched connection, told when its peer has ended its side
    // (closed, half-closed or failed).
    class watcher {
    public:
        virtual void on_peer_end() = 0;

    protected:
        ~watcher() = default;
    };

    // Throws when the set cannot be made (a start-up failure).
    explicit peer_end_watch(boost::asio::io_context& loop);
    ~peer_end_watch();
    peer_end_watch(const peer_end_watch&) = delete;
    peer_end_watch& operator=(const peer_end_watch&) = delete;

    // Watches `fd` for the end of its input on behalf of `w`; the token
    // names the registration. `w` must stay alive until remove().
    boost::system::error_code add(int fd, watcher& w, std::uint64_t& token);
    // Forgets the registration; no event reaches its watcher after this, not
    // even one already fetched in the batch being handled.
    void remove(int fd, std::uint64_t token);

private:
    void arm();
    void on_readable();

    boost::asio::posix::basic_stream_descriptor<loop_executor> m_set;
    std::unordered_map<std::uint64_t, watcher*> m_watchers;
    std::uint64_t m_next_token = 1;
    bool m_armed = false;  // waiting for the set, or handling its events
};

}  // namespace httpd
