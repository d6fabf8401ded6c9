#pragma once
// What a handler learns of a request: its method, target and Range header,
// owned by the request (never views into the connection's input, which
// moves on).

#include <string>
#include <string_view>

namespace httpd {

// The header fields that tell where a request comes from and what its body
// is, for the handlers that must refuse what another site's page sends.
// Values are as received; empty (or false) when the field is absent.
struct request_marks {
    std::string content_type;
    std::string sec_fetch_site;   // Fetch Metadata: "same-origin", "cross-site"...
    std::string origin;           // "null" is a value: an opaque origin
    bool has_origin = false;
    std::string host;
    std::string forwarded_host;   // X-Forwarded-Host: the browser's Host, from the web server in front
    std::string forwarded_proto;  // X-Forwarded-Proto
    bool has_cookie = false;
    bool has_referer = false;
    bool has_requested_by = false;  // X-Requested-By: set by the page's own scripts
    bool has_body = false;          // a body follows the header (a length above 0, or chunks)
};

struct http_request {
    std::string method;
    std::string target;
    std::string range;  // the Range header, empty when there is none
    request_marks marks;

    // The target without its query string.
    // Example: "/a/b?x=1" -> "/a/b".
    std::string_view path() const;
    // A query parameter, percent-decoded; empty when absent.
    // Example: target "/logs?source=app&name=a%2Fb", key "name" -> "a/b".
    std::string get_query(std::string_view key) const;
};

}  // namespace httpd
