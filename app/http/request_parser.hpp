#pragma once
// The HTTP request parser of one request: Beast's parser core with only what
// the server needs kept (method, target, Range, "Expect: 100-continue" and
// the few fields of request_marks), so that no other header field is copied
// or allocated. The method and target are
// copied into the request as soon as the request line is parsed: the parser
// may report that line as consumed long before the rest of the header has
// arrived, and the input it was read from is gone by then. The body is
// copied into a buffer the caller lends (like Beast's buffer_body): when it
// is full, put() stops with error::need_buffer.

#include "http/http_request.hpp"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <cstring>

namespace httpd {

class request_parser : public boost::beast::http::basic_parser<true> {
public:
    // The request line and the fields kept are stored into `into`; a parser
    // is made for every request, so what the last one stored goes.
    explicit request_parser(http_request& into) : m_into(into) { m_into.marks = request_marks{}; }

    bool expects_continue() const { return m_expects_continue; }

    // Where the next body bytes go; `body_left()` is the space still free.
    void lend_body_buffer(char* data, std::size_t size) {
        m_body_data = data;
        m_body_left = size;
    }
    std::size_t body_left() const { return m_body_left; }

private:
    using error_code = boost::beast::error_code;
    using string_view = boost::beast::string_view;

    void on_request_impl(boost::beast::http::verb, string_view method, string_view target, int,
                         error_code& ec) override {
        m_into.method.assign(method.data(), method.size());
        m_into.target.assign(target.data(), target.size());
        ec = {};
    }

    void on_response_impl(int, string_view, int, error_code& ec) override { ec = {}; }

    void on_field_impl(boost::beast::http::field name, string_view name_text, string_view value,
                       error_code& ec) override {
        using boost::beast::http::field;
        request_marks& marks = m_into.marks;
        switch (name) {
        case field::expect:
            if (boost::beast::iequals(value, "100-continue")) m_expects_continue = true;
            break;
        case field::range:
            m_into.range.assign(value.data(), value.size());
            break;
        case field::content_type:
            marks.content_type.assign(value.data(), value.size());
            break;
        case field::origin:
            marks.origin.assign(value.data(), value.size());
            marks.has_origin = true;
            break;
        case field::host:
            marks.host.assign(value.data(), value.size());
            break;
        case field::cookie:
            marks.has_cookie = true;
            break;
        case field::referer:
            marks.has_referer = true;
            break;
        case field::unknown:
            // Fields Beast has no name for (iequals compares the lengths first).
            if (boost::beast::iequals(name_text, "Sec-Fetch-Site"))
                marks.sec_fetch_site.assign(value.data(), value.size());
            else if (boost::beast::iequals(name_text, "X-Forwarded-Host"))
                marks.forwarded_host.assign(value.data(), value.size());
            else if (boost::beast::iequals(name_text, "X-Forwarded-Proto"))
                marks.forwarded_proto.assign(value.data(), value.size());
            else if (boost::beast::iequals(name_text, "X-Requested-By"))
                marks.has_requested_by = true;
            break;
        default:
            break;
        }
        ec = {};
    }

    void on_header_impl(error_code& ec) override {
        m_into.marks.has_body = !is_done();
        ec = {};
    }

    void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code& ec) override { ec = {}; }

    std::size_t on_body_impl(string_view body, error_code& ec) override { return take_body(body, ec); }

    void on_chunk_header_impl(std::uint64_t, string_view, error_code& ec) override { ec = {}; }

    std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code& ec) override {
        return take_body(body, ec);
    }

    void on_finish_impl(error_code& ec) override { ec = {}; }

    std::size_t take_body(string_view body, error_code& ec) {
        const std::size_t n = body.size() < m_body_left ? body.size() : m_body_left;
        if (n > 0) std::memcpy(m_body_data, body.data(), n);
        m_body_data += n;
        m_body_left -= n;
        if (n == body.size())
            ec = {};
        else
            ec = boost::beast::http::error::need_buffer;
        return n;
    }

    http_request& m_into;
    bool m_expects_continue = false;
    char* m_body_data = nullptr;
    std::size_t m_body_left = 0;
};

}  // namespace httpd
