#include "http/session_output.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <exception>

namespace httpd {

std::string session_output::take_piece() {
    if (m_spares.empty()) return {};
    std::string piece = std::move(m_spares.back());
    m_spares.pop_back();
    piece.clear();
    return piece;
}

void session_output::push(std::string piece) { m_pieces.push_back(std::move(piece)); }

void session_output::push_copy(std::string_view text) {
    std::string piece = take_piece();
    piece.append(text);
    push(std::move(piece));
}

void session_output::set_body(std::string_view in_memory, http_response::body_reader reader, std::uint64_t length,
                              std::string_view suffix) {
    m_reader = std::move(reader);
    m_stream_left = m_reader ? length : 0;
    m_body = in_memory;
    m_suffix = suffix;
}

session_output::step session_output::next_step() {
    if (queued_empty() && !fill_stream_piece()) return step::broken;
    if (queued_empty()) return step::idle;
    return m_reader ? step::write_later : step::write_now;
}

// False when the reader gives nothing while bytes are still owed.
bool session_output::fill_stream_piece() {
    if (!m_reader) return true;
    if (m_stream_left == 0) {
        m_reader = nullptr;
        return true;
    }
    std::string piece = take_piece();
    piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(STREAM_PIECE_BYTES, m_stream_left)));
    std::size_t got = 0;
    try {
        got = std::min(m_reader(piece.data(), piece.size()), piece.size());
    } catch (const std::exception& e) {
        spdlog::error("Reading a response body failed: {}", e.what());
    }
    // The promised length cannot be kept: the connection must end rather
    // than let the client take what follows for the rest of the body.
    if (got == 0) return false;
    piece.resize(got);
    m_stream_left -= got;
    if (m_stream_left == 0) m_reader = nullptr;
    push(std::move(piece));
    return true;
}

std::uint64_t session_output::queued_bytes() const {
    std::uint64_t bytes = 0;
    for (std::size_t i = m_front; i < m_pieces.size(); ++i) bytes += m_pieces[i].size();
    return bytes;
}

session_output::buffers session_output::gather() const {
    buffers out{};
    std::size_t count = 0;
    for (std::size_t i = m_front; i < m_pieces.size() && count < out.size() - 1; ++i) {
        const std::size_t skip = count == 0 ? m_front_sent : 0;
        out[count++] = boost::asio::buffer(m_pieces[i].data() + skip, m_pieces[i].size() - skip);
    }
    // The body follows everything queued before it (the head), and its suffix the body.
    if (m_front + count != m_pieces.size()) return out;
    if (!m_body.empty()) out[count++] = boost::asio::buffer(m_body.data(), m_body.size());
    if (!m_suffix.empty() && count < out.size()) out[count++] = boost::asio::buffer(m_suffix.data(), m_suffix.size());
    return out;
}

void session_output::consume(std::size_t n) {
    m_sent_bytes += n;
    while (n > 0 && m_front < m_pieces.size()) {
        std::string& front = m_pieces[m_front];
        const std::size_t left = front.size() - m_front_sent;
        if (n < left) {
            m_front_sent += n;
            // All of them were this piece's: the body behind it is untouched.
            n = 0;
            break;
        }
        n -= left;
        if (m_spares.size() < SPARE_PIECES) m_spares.push_back(std::move(front));
        ++m_front;
        m_front_sent = 0;
    }
    const std::size_t from_body = std::min(n, m_body.size());
    m_body.remove_prefix(from_body);
    m_suffix.remove_prefix(std::min(n - from_body, m_suffix.size()));
    if (m_front == m_pieces.size()) {
        m_pieces.clear();
        m_front = 0;
    }
}

}  // namespace httpd
