#pragma once
// The framing of a chunked request body, read here as it arrives so that
// the parser is only ever handed a whole piece of it: the CRLF that ends a
// chunk's data, the next chunk's size line with its extensions, and after
// the last chunk (size 0) the trailer up to its empty line.
//
// Beast 1.74's parser reads a chunk's framing again from its start at each
// call until it is whole, trusting what it read before, and that goes wrong
// two ways. A last chunk that comes first and alone ("0\r\n"), then one more
// byte, fails its assertion `n >= 5` (a build with assertions aborts). A
// quoted extension is scanned past the end of its line, to the end of the
// buffer: with its quote left open the parser waits for more, and reads the
// line again when more comes, charging the chunk's size against the body
// limit each time; a size above half of 2^64 then passes the limit, so the
// same bytes were refused when cut and waited on for ever when whole. Read
// here first, to the grammar below, the framing reaches the parser whole,
// and the parser reads it once.
//
//   chunk framing = [ CRLF ] chunk-size [ chunk-ext ] CRLF   (CRLF first after a chunk's data)
//   last chunk    = [ CRLF ] 1*"0" [ chunk-ext ] CRLF *( field-line CRLF ) CRLF
//   chunk-ext     = *( BWS ";" BWS name [ BWS "=" BWS ( token / quoted-string ) ] )
//
// Example: after a chunk's data, "\r\n1a;n=\"v\"\r\n" -> whole, 12 bytes,
//          then a chunk of 26 bytes; "0\r\n" then "\r" -> more input, then
//          "\n" -> whole, the last; "5;a=\"x\r\n" -> malformed at the CR.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace httpd {

class chunk_framing {
public:
    enum class verdict {
        more_input,  // not whole yet
        whole,       // whole_bytes() of framing, then its chunk's data (none after the last chunk)
        malformed,   // not chunked framing, or longer than its limit
    };

    // A piece of framing longer than `max_bytes` is refused.
    explicit chunk_framing(std::size_t max_bytes) : m_max_bytes(max_bytes) {}

    // Whether the next bytes of the body are framing rather than chunk data.
    bool at_framing() const { return m_data_left == 0; }
    // Reads on in `held`, the bytes buffered from the framing's first byte:
    // those of the last call and perhaps more; each byte is read once.
    verdict read(std::string_view held);
    std::size_t whole_bytes() const { return m_read; }

    // The parser took the whole framing; its chunk's data follows.
    void framing_taken();
    // The parser took `n` bytes of the chunk's data.
    void data_taken(std::uint64_t n) { m_data_left -= n < m_data_left ? n : m_data_left; }

private:
    enum class at {
        data_cr,
        data_lf,
        size_first,
        size,
        space_then_semicolon,
        ext_name_first,
        ext_name,
        space_after_name,
        ext_value_first,
        ext_token,
        ext_quoted,
        ext_quoted_pair,
        after_quoted,
        line_lf,
        trailer_line,
        trailer_field,
        trailer_field_lf,
        trailer_end_lf,
        whole,
        malformed,
    };

    at step(unsigned char c);

    std::size_t m_max_bytes;
    at m_at = at::size_first;
    std::size_t m_read = 0;
    std::uint64_t m_size = 0;
    std::uint64_t m_data_left = 0;
};

}  // namespace httpd
