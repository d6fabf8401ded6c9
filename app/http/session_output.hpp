#pragma once
// The output side of a session: what is still to be written, in order, and
// how it goes out. Pieces of our own (a 100 Continue, an answer's head) are
// queued; an answer's body follows them straight from the response that
// holds it, or, streamed, from its reader one piece at a time, each piece
// read only once everything before it is sent, so that a large file never
// sits in memory. No socket is touched here: the session writes gather()
// and reports what went with consume().

#include "http/http_response.hpp"

#include <boost/asio/buffer.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace httpd {

class session_output {
public:
    // Output pieces handed to one gathered write.
    static constexpr std::size_t MAX_GATHER = 4;
    // A streamed body (a log file, a debug bundle) goes out in pieces of this
    // size, the next one read when the previous one is sent.
    static constexpr std::size_t STREAM_PIECE_BYTES = 64 * 1024;
    // Written pieces whose memory is kept for the next ones.
    static constexpr std::size_t SPARE_PIECES = 4;

    using buffers = std::array<boost::asio::const_buffer, MAX_GATHER>;

    // What the session should do next.
    enum class step {
        idle,         // nothing is left to write
        write_now,    // held in memory: written at once, which nearly always takes it whole
        write_later,  // a streamed body: its pieces wait for the loop, so one fast download cannot hold it
        broken,       // the streamed body ran dry before its promised length
    };

    // A piece with the memory of an earlier one, when there is one.
    std::string take_piece();
    void push(std::string piece);
    void push_copy(std::string_view text);
    // The answer's body, after what is queued: `in_memory` then `suffix`
    // (both kept alive by its response until they are written), or
    // `length` bytes from `reader`.
    void set_body(std::string_view in_memory, http_response::body_reader reader, std::uint64_t length,
                  std::string_view suffix = {});

    // Reads the next piece of a streamed body when all before it is sent,
    // and says how what is left should be written.
    step next_step();
    // The queued output as one gathered write; unused slots stay empty
    // buffers, which the write skips.
    buffers gather() const;
    // Drops `n` written bytes from the front.
    void consume(std::size_t n);

    // Bytes of our own pieces not yet all written (an answer's head, the
    // piece of a streamed body on its way out): what the output holds.
    std::uint64_t queued_bytes() const;

    // Nothing left, neither queued nor to be read.
    bool idle() const { return queued_empty() && !m_reader; }
    // A streamed file is closed at once.
    void drop_stream() { m_reader = nullptr; }

    // A write is in flight: the queue's front is lent to it until it completes.
    bool writing() const { return m_writing; }
    void write_started() { m_writing = true; }
    void write_ended() { m_writing = false; }

    // Bytes written since restart_count(), for the connection's progress.
    std::uint64_t sent_bytes() const { return m_sent_bytes; }
    void restart_count() { m_sent_bytes = 0; }

private:
    bool queued_empty() const { return m_front == m_pieces.size() && m_body.empty() && m_suffix.empty(); }
    bool fill_stream_piece();

    std::vector<std::string> m_pieces;  // not yet written from m_front on
    std::size_t m_front = 0;
    std::size_t m_front_sent = 0;  // bytes of m_pieces[m_front] already written
    std::string_view m_body;       // the rest of the in-memory body, inside its response
    std::string_view m_suffix;     // the rest of what follows it, inside its response
    http_response::body_reader m_reader;
    std::uint64_t m_stream_left = 0;
    std::vector<std::string> m_spares;
    std::uint64_t m_sent_bytes = 0;
    bool m_writing = false;
};

}  // namespace httpd
