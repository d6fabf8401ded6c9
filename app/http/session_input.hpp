#pragma once
// The input side of a session: the buffer a read fills, whether a read is in
// flight, when reading pauses (pipelined input piling up behind a pending
// answer), and when the request on its way in began and must have arrived.
// The requests themselves are told by request_input; no socket is touched
// here, the session reads into read_space().

#include "http/request_input.hpp"
#include "http/session_state.hpp"

#include <boost/asio/buffer.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace httpd {

// A request must arrive, header and body, within this grace period plus
// time for its bytes at the minimum rate, however often bytes trickle in.
constexpr auto REQUEST_ARRIVAL_GRACE = std::chrono::seconds(10);
constexpr double MIN_ARRIVAL_BYTES_PER_SECOND = 1024;

// When a request begun at `started` must have arrived, `bytes` of it being
// here: so that a client trickling a byte now and then cannot hold its
// connection for ever.
// Example: 2048 bytes so far of a request begun at T -> T + 10 s + 2 s.
session_clock::time_point arrival_deadline(session_clock::time_point started, std::uint64_t bytes);

class session_input {
public:
    static constexpr std::size_t READ_CHUNK_BYTES = 16 * 1024;
    // Pipelined bytes buffered while a response is pending; reading pauses beyond it.
    static constexpr std::size_t MAX_BUFFERED_BYTES = 64 * 1024;

    explicit session_input(std::size_t max_header_bytes) : m_requests(max_header_bytes) {}

    // Whether the session should start a read now.
    bool wants_read() const { return !m_reading && m_requests.buffered() <= MAX_BUFFERED_BYTES; }
    // Into a buffer of our own: parsing may consume (and so move) the
    // requests' storage while a read is outstanding.
    boost::asio::mutable_buffer read_space() { return boost::asio::buffer(m_read_chunk); }
    void read_started() { m_reading = true; }
    void read_ended() { m_reading = false; }
    // Takes the `n` bytes the last read put into read_space().
    void append_read(std::size_t n) { m_requests.append(m_read_chunk.data(), n); }

    // What can be told of the buffered input; the first byte of a request
    // starts its clock.
    request_input::event next();
    request_input& requests() { return m_requests; }
    std::size_t buffered() const { return m_requests.buffered(); }

    // The request is over: the next one starts where it ended, its clock when
    // its first byte is here.
    void next_request();
    // Nothing more is parsed (the connection is ending).
    void discard();

    // When the current request's first byte arrived, if it has.
    std::optional<session_clock::time_point> started() const { return m_started; }
    // When the current request must have arrived, if one is on its way.
    std::optional<session_clock::time_point> due() const;
    std::uint64_t request_bytes() const { return m_requests.request_bytes(); }

private:
    request_input m_requests;
    std::optional<session_clock::time_point> m_started;
    // A read is in flight; only one is, into m_read_chunk.
    bool m_reading = false;
    std::array<char, READ_CHUNK_BYTES> m_read_chunk{};
};

}  // namespace httpd
