#include "http/request_input.hpp"

#include <boost/beast/http/error.hpp>

#include <cstring>
#include <limits>

namespace httpd {

namespace bhttp = boost::beast::http;

request_input::request_input(std::size_t max_header_bytes)
    : m_max_header_bytes(static_cast<std::uint32_t>(
          std::min<std::size_t>(max_header_bytes, std::numeric_limits<std::uint32_t>::max()))),
      m_framing(m_max_header_bytes) {
    next_request();
}

void request_input::append(const char* data, std::size_t size) {
    if (size == 0) return;
    const auto space = m_buffer.prepare(size);
    std::memcpy(space.data(), data, size);
    m_buffer.commit(size);
}

void request_input::next_request() {
    m_request.range.clear();
    m_parser.emplace(m_request);
    m_parser->header_limit(m_max_header_bytes);
    // The handlers enforce their own limit and ignore the rest of a refused body.
    m_parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    // A chunk's framing may be as long as a header may.
    m_framing = chunk_framing(m_max_header_bytes);
    m_stage = stage::header;
    m_request_bytes = 0;
    m_body_size = 0;
}

void request_input::discard() {
    m_buffer.consume(m_buffer.size());
    m_stage = stage::held;
}

void request_input::take(std::size_t used) {
    m_buffer.consume(used);
    m_request_bytes += used;
}

request_input::event request_input::next() {
    m_body_size = 0;
    while (true) {
        if (m_stage == stage::held) return event::held;
        if (m_stage == stage::header) {
            if (m_buffer.size() == 0) return event::more_input;
            boost::system::error_code ec;
            const std::size_t used = m_parser->put(m_buffer.data(), ec);
            take(used);
            if (ec == bhttp::error::need_more) {
                // All that is buffered belongs to the header still: once that
                // reaches the limit, so does the header.
                if (m_request_bytes + m_buffer.size() < m_max_header_bytes) return event::more_input;
                ec = bhttp::error::header_limit;
            }
            if (ec) {
                m_stage = stage::held;
                return ec == bhttp::error::header_limit ? event::header_too_large : event::bad_request;
            }
            if (m_parser->is_header_done()) {
                // The parser applies its limit to the request line and the
                // fields apart when they arrive together, to the whole
                // header when they do not: here the limit is the whole
                // header's, however it arrived.
                if (m_request_bytes > m_max_header_bytes) {
                    m_stage = stage::held;
                    return event::header_too_large;
                }
                m_stage = stage::body;
                return event::header;
            }
            if (used == 0) return event::more_input;
            continue;
        }
        if (m_parser->is_done()) {
            m_stage = stage::held;
            return event::body_end;
        }
        if (m_buffer.size() == 0) return event::more_input;
        std::size_t framing = 0;
        if (m_parser->chunked() && m_framing.at_framing()) {
            const auto held = m_buffer.data();
            const auto verdict = m_framing.read({static_cast<const char*>(held.data()), held.size()});
            if (verdict == chunk_framing::verdict::more_input) return event::more_input;
            if (verdict == chunk_framing::verdict::malformed) {
                m_stage = stage::held;
                return event::bad_request;
            }
            framing = m_framing.whole_bytes();
        }
        m_parser->lend_body_buffer(m_body_piece.data(), m_body_piece.size());
        boost::system::error_code ec;
        const std::size_t used = m_parser->put(m_buffer.data(), ec);
        take(used);
        m_body_size = m_body_piece.size() - m_parser->body_left();
        if (framing > 0) {
            // The parser takes whole framing whole, or refuses it (a trailer
            // field, the body limit): anything else is refused as well.
            if (ec || used != framing) {
                m_stage = stage::held;
                return event::bad_request;
            }
            m_framing.framing_taken();
        } else if (m_parser->chunked()) {
            m_framing.data_taken(used);
        }
        bool need_more = false;
        if (ec == bhttp::error::need_buffer) {
            ec = {};
        } else if (ec == bhttp::error::need_more) {
            ec = {};
            need_more = true;
        }
        if (ec) {
            m_stage = stage::held;
            m_body_size = 0;
            return event::bad_request;
        }
        if (m_parser->is_done()) {
            m_stage = stage::held;
            return event::body_end;
        }
        if (m_body_size > 0) return event::body;
        // need_more can leave unparsed bytes behind: wait for the rest
        // instead of parsing the same bytes again.
        if (need_more || used == 0) return event::more_input;
    }
}

}  // namespace httpd
