#pragma once
// Where a request that changes something comes from, judged from what a
// browser adds to it. The installer's browser is signed in to the camera,
// and it sends those credentials with the requests of any page it shows: a
// page of another site can post forms to the API, or fetch it without
// reading the answer. Those requests carry marks that page cannot remove:
// Fetch Metadata (Sec-Fetch-Site), else an Origin, else at least a Cookie
// or a Referer without the header that only the page's own scripts set
// (X-Requested-By). Clients that send none of these (curl, scripts, fleet
// tools) are no browser page, and go on.

#include "http/http_request.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace request_origin {

// Why a request that changes something is refused; empty when it may go on.
// The web server in front rewrites Host, so the browser's host is the
// forwarded one (X-Forwarded-Host, falling back to Host), and the scheme
// counts only where it is forwarded (X-Forwarded-Proto).
// Examples: Sec-Fetch-Site "same-origin" or "none" -> "";
//   Sec-Fetch-Site "cross-site" -> "Cross-site request refused (Sec-Fetch-Site: cross-site)";
//   no Fetch Metadata, Origin "http://cam.local:8080", forwarded host "cam.local:8080" -> "";
//   Origin "null" -> refused; Origin "http://evil.example" -> refused;
//   only a Cookie, no X-Requested-By -> refused; no browser marks at all -> "".
std::string cross_site_refusal(const httpd::request_marks& marks);

// A body's media type may be decoded as form fields: it is
// application/x-www-form-urlencoded (any letter case, any parameters), or
// there is no Content-Type at all (a script's bare body).
// Example: "Application/X-WWW-Form-Urlencoded; charset=UTF-8" -> true;
//          "" -> true; "text/plain" -> false; "multipart/form-data; boundary=x" -> false.
bool is_form_content_type(std::string_view content_type);

// The host (lower case, IPv6 in brackets) and port of an authority, with the
// scheme's port when none is given; nothing when it is no plain host[:port].
// Example: ("Cam.Local", "http") -> {"cam.local", 80}; ("[::1]:8443", "https") -> {"[::1]", 8443};
//          ("cam:0x50", "http") -> nothing; ("a/b", "http") -> nothing.
struct authority {
    std::string host;
    unsigned port = 0;
    bool operator==(const authority& other) const { return host == other.host && port == other.port; }
};
std::optional<authority> parse_authority(std::string_view text, std::string_view scheme);

}  // namespace request_origin
