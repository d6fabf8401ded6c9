#include "http/http_response.hpp"

#include <charconv>
#include <utility>

namespace httpd {

namespace {

constexpr std::string_view DEFAULT_STATUS = "200 OK";
// A body buffer larger than this (a status report of a large network) is
// given back after its answer rather than kept by an idle connection.
constexpr std::size_t KEPT_BODY_CAPACITY = 64 * 1024;
// Every answer of this socket is data (JSON, a log, a bundle), never a page:
// no other site may frame it, and no browser may guess it to be HTML.
constexpr std::string_view DATA_ONLY_HEADERS =
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: frame-ancestors 'none'\r\n";

}  // namespace

http_response::http_response(std::shared_ptr<response_sink> sink) : m_status(DEFAULT_STATUS), m_sink(std::move(sink)) {}

void http_response::reuse(std::shared_ptr<response_sink> sink) {
    m_status.assign(DEFAULT_STATUS);
    m_headers.clear();
    if (m_body.capacity() > KEPT_BODY_CAPACITY) std::string().swap(m_body);
    else m_body.clear();
    m_shared = {};
    m_suffix.clear();
    m_keep.reset();
    m_reader = nullptr;
    m_stream_length = 0;
    m_ended = false;
    m_aborted = false;
    release_handlers();
    m_sink = std::move(sink);
}

void http_response::write_status(std::string_view status) {
    if (!m_ended && !m_aborted) m_status.assign(status.data(), status.size());
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
    m_body.swap(body);
    finish();
}

void http_response::end_streamed(std::uint64_t length, body_reader reader) {
    if (m_ended || m_aborted) return;
    m_stream_length = length;
    m_reader = std::move(reader);
    finish();
}

void http_response::end_shared(std::string&& prefix, std::string_view shared, std::string_view suffix,
                               std::shared_ptr<const void> keep) {
    if (m_ended || m_aborted) return;
    m_body.swap(prefix);
    m_shared = shared;
    m_suffix.assign(suffix.data(), suffix.size());
    m_keep = std::move(keep);
    finish();
}

void http_response::finish() {
    m_ended = true;
    if (m_sink) m_sink->on_response_ended();
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
    m_sink.reset();
}

void http_response::append_head(bool close_connection, std::string& out) const {
    char length[24];
    const auto end = std::to_chars(length, length + sizeof length, body_length()).ptr;
    out.append("HTTP/1.1 ").append(m_status).append("\r\n");
    out.append(m_headers);
    out.append(DATA_ONLY_HEADERS);
    out.append("Content-Length: ").append(length, end).append("\r\n");
    if (close_connection) out.append("Connection: close\r\n");
    out.append("\r\n");
}

}  // namespace httpd
