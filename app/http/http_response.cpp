#include "http/http_response.hpp"

#include <utility>

namespace httpd {

http_response::http_response(std::function<void()> on_end) : m_on_end(std::move(on_end)) {}

void http_response::write_status(std::string_view status) {
    if (!m_ended && !m_aborted) m_status = std::string(status);
}

void http_response::write_header(std::string_view name, std::string_view value) {
    if (m_ended || m_aborted) return;
    m_headers.append(name).append(": ").append(value).append("\r\n");
}

void http_response::end(std::string_view body) {
    if (m_ended || m_aborted) return;
    m_body.assign(body.data(), body.size());
    finish();
}

void http_response::end(std::string&& body) {
    if (m_ended || m_aborted) return;
    m_body = std::move(body);
    finish();
}

void http_response::end_streamed(std::uint64_t length, body_reader reader) {
    if (m_ended || m_aborted) return;
    m_stream_length = length;
    m_reader = std::move(reader);
    finish();
}

void http_response::finish() {
    m_ended = true;
    if (m_on_end) m_on_end();
}

void http_response::on_data(data_handler handler) { m_data_handler = std::move(handler); }

void http_response::on_aborted(abort_handler handler) { m_abort_handler = std::move(handler); }

void http_response::deliver(std::string_view chunk, bool last) {
    if (m_aborted || !m_data_handler) return;
    // The handler may release itself (through release_handlers); keep it alive for the call.
    const data_handler handler = m_data_handler;
    handler(chunk, last);
}

void http_response::abort() {
    if (m_ended || m_aborted) return;
    m_aborted = true;
    const abort_handler handler = m_abort_handler;
    if (handler) handler();
    release_handlers();
}

void http_response::release_handlers() {
    m_data_handler = nullptr;
    m_abort_handler = nullptr;
    m_on_end = nullptr;
}

std::string http_response::head(bool close_connection) const {
    std::string out;
    out.reserve(m_status.size() + m_headers.size() + 80);
    out.append("HTTP/1.1 ").append(m_status).append("\r\n");
    out.append(m_headers);
    out.append("Content-Length: ").append(std::to_string(body_length())).append("\r\n");
    if (close_connection) out.append("Connection: close\r\n");
    out.append("\r\n");
    return out;
}

}  // namespace httpd
