#include "api/request_origin.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace request_origin {
namespace {

constexpr std::string_view FORM_MEDIA_TYPE = "application/x-www-form-urlencoded";
// Fetch Metadata values of a request the page itself made, or the user did
// (typed, bookmarked): everything else, unknown values included, is refused.
constexpr std::array<std::string_view, 2> OWN_FETCH_SITES = {"same-origin", "none"};
// Values named in a refusal; any other is not echoed back.
constexpr std::array<std::string_view, 2> FOREIGN_FETCH_SITES = {"same-site", "cross-site"};
constexpr unsigned MAX_PORT = 65535;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool iequal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::optional<unsigned> default_port(std::string_view scheme) {
    if (iequal(scheme, "http")) return 80;
    if (iequal(scheme, "https")) return 443;
    return std::nullopt;
}

bool is_name_char(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool is_ipv6_char(unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; }

// The browser's host as the web server in front saw it: the first of a
// forwarded list (each proxy appends its own), else Host.
std::string_view browser_host(const httpd::request_marks& marks) {
    if (marks.forwarded_host.empty()) return trim(marks.host);
    const std::string_view forwarded = marks.forwarded_host;
    return trim(forwarded.substr(0, forwarded.find(',')));
}

std::string origin_refusal(const httpd::request_marks& marks) {
    const std::string_view origin = trim(marks.origin);
    if (origin == "null") return "Cross-site request refused (Origin: null)";
    const auto separator = origin.find("://");
    const std::string_view scheme = separator == std::string_view::npos ? std::string_view{} : origin.substr(0, separator);
    const std::string_view forwarded_proto = marks.forwarded_proto;
    const std::string_view proto = trim(forwarded_proto.substr(0, forwarded_proto.find(',')));
    const auto from = scheme.empty() ? std::nullopt : parse_authority(origin.substr(separator + 3), scheme);
    // The page's own origin has the scheme the browser used: where it is
    // known, a port without it counts for that scheme too.
    const auto to = parse_authority(browser_host(marks), proto.empty() ? scheme : proto);
    if (!from || !to || !(*from == *to) || (!proto.empty() && !iequal(scheme, proto)))
        return "Cross-site request refused (Origin does not match the host)";
    return {};
}

}  // namespace

std::optional<authority> parse_authority(std::string_view text, std::string_view scheme) {
    authority out;
    std::string_view port_text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close < 3) return std::nullopt;
        const std::string_view inside = text.substr(1, close - 1);
        if (!std::all_of(inside.begin(), inside.end(), [](unsigned char c) { return is_ipv6_char(c); }))
            return std::nullopt;
        out.host = lower(text.substr(0, close + 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port_text = rest.substr(1);
            if (port_text.empty()) return std::nullopt;
        }
    } else {
        const auto colon = text.find(':');
        const std::string_view host = text.substr(0, colon);
        if (host.empty() || !std::all_of(host.begin(), host.end(), [](unsigned char c) { return is_name_char(c); }))
            return std::nullopt;
        out.host = lower(host);
        if (colon != std::string_view::npos) {
            port_text = text.substr(colon + 1);
            if (port_text.empty()) return std::nullopt;
        }
    }
    if (port_text.empty()) {
        const auto port = default_port(scheme);
        if (!port) return std::nullopt;
        out.port = *port;
        return out;
    }
    if (port_text.size() > 5) return std::nullopt;
    unsigned port = 0;
    for (const unsigned char c : port_text) {
        if (!std::isdigit(c)) return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port == 0 || port > MAX_PORT) return std::nullopt;
    out.port = port;
    return out;
}

std::string cross_site_refusal(const httpd::request_marks& marks) {
    if (!marks.sec_fetch_site.empty()) {
        const std::string site = lower(trim(marks.sec_fetch_site));
        if (std::find(OWN_FETCH_SITES.begin(), OWN_FETCH_SITES.end(), site) != OWN_FETCH_SITES.end()) return {};
        const bool named = std::find(FOREIGN_FETCH_SITES.begin(), FOREIGN_FETCH_SITES.end(), site) !=
                           FOREIGN_FETCH_SITES.end();
        return "Cross-site request refused (Sec-Fetch-Site: " + (named ? site : std::string("unknown")) + ")";
    }
    if (marks.has_origin) return origin_refusal(marks);
    if ((marks.has_cookie || marks.has_referer) && !marks.has_requested_by)
        return "Cross-site request refused (a browser's request without X-Requested-By)";
    return {};
}

bool is_form_content_type(std::string_view content_type) {
    const std::string_view media_type = trim(content_type.substr(0, content_type.find(';')));
    return trim(content_type).empty() || iequal(media_type, FORM_MEDIA_TYPE);
}

}  // namespace request_origin
