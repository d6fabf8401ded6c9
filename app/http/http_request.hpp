#pragma once
// What a handler learns of a request: its method, target and Range header,
// owned by the request (never views into the connection's input, which
// moves on).

#include <string>
#include <string_view>

namespace httpd {

struct http_request {
    std::string method;
    std::string target;
    std::string range;  // the Range header, empty when there is none

    // The target without its query string.
    // Example: "/a/b?x=1" -> "/a/b".
    std::string_view path() const;
    // A query parameter, percent-decoded; empty when absent.
    // Example: target "/logs?source=app&name=a%2Fb", key "name" -> "a/b".
    std::string get_query(std::string_view key) const;
};

}  // namespace httpd
