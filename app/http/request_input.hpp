#pragma once
// The input side of one connection: the bytes a client sent, turned into
// requests, one at a time and in order. Bytes are appended as they arrive,
// in pieces of any size; next() says what can be told so far. The request
// line is kept in storage the request owns, and the body is handed out in
// pieces of at most BODY_PIECE_BYTES, so a request that arrives byte by byte
// reads exactly like one that arrives whole. A chunked body's framing goes to
// the parser only once it is whole (chunk_framing.hpp says why). Pipelined
// requests wait in the buffer until the current one is over (next_request()).

#include "http/chunk_framing.hpp"
#include "http/http_request.hpp"
#include "http/request_parser.hpp"

#include <boost/beast/core/flat_buffer.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace httpd {

class request_input {
public:
    static constexpr std::size_t BODY_PIECE_BYTES = 16 * 1024;

    enum class event {
        more_input,        // nothing more can be told until more bytes arrive
        header,            // a request's header is complete: request(), keep_alive(), body_follows()
        body,              // a piece of its body, body(); more follows
        body_end,          // the last piece of its body, body() (empty for a request without one)
        held,              // the request is complete; what follows waits for next_request()
        bad_request,       // the input is not a request; nothing more is parsed
        header_too_large,  // the header passed its limit; nothing more is parsed
    };

    explicit request_input(std::size_t max_header_bytes);

    void append(const char* data, std::size_t size);
    event next();

    http_request& request() { return m_request; }
    // The piece of body of the last `body` or `body_end`, valid until next().
    std::string_view body() const { return {m_body_piece.data(), m_body_size}; }
    bool keep_alive() const { return m_parser->keep_alive(); }
    bool expects_continue() const { return m_parser->expects_continue(); }
    // After `header`: whether a body is still to come.
    bool body_follows() const { return !m_parser->is_done(); }

    // The next request starts where the current one ended.
    void next_request();
    // Drops everything buffered; nothing more is parsed.
    void discard();
    std::size_t buffered() const { return m_buffer.size(); }
    // Bytes of the current request taken so far, header and body.
    std::uint64_t request_bytes() const { return m_request_bytes; }

private:
    enum class stage { header, body, held };

    void take(std::size_t used);

    std::uint32_t m_max_header_bytes;
    boost::beast::flat_buffer m_buffer;
    http_request m_request;
    std::optional<request_parser> m_parser;
    chunk_framing m_framing;
    stage m_stage = stage::header;
    std::uint64_t m_request_bytes = 0;
    std::array<char, BODY_PIECE_BYTES> m_body_piece{};
    std::size_t m_body_size = 0;
};

}  // namespace httpd
