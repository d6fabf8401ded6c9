#include "api/request_origin.hpp"

#include <gtest/gtest.h>

namespace {

using httpd::request_marks;

request_marks with_origin(std::string origin, std::string forwarded_host, std::string proto = {}) {
    request_marks m;
    m.origin = std::move(origin), m.has_origin = true;
    m.host = "localhost";  // what the web server in front rewrites Host to
    m.forwarded_host = std::move(forwarded_host), m.forwarded_proto = std::move(proto);
    return m;
}

bool refused(const request_marks& m) { return !request_origin::cross_site_refusal(m).empty(); }

TEST(RequestOrigin, FetchMetadataDecidesFirstElseTheOriginMustBeTheBrowsersHost) {
    for (const char* own : {"same-origin", "none", "Same-Origin"}) {
        request_marks m = with_origin("http://evil.example", "cam");  // Fetch Metadata wins over the Origin
        m.sec_fetch_site = own;
        EXPECT_FALSE(refused(m)) << own;
    }
    for (const char* foreign : {"cross-site", "same-site", "whatever"}) {
        request_marks m = with_origin("http://cam", "cam");
        m.sec_fetch_site = foreign, m.has_requested_by = true;  // a script's header does not outweigh the browser
        EXPECT_TRUE(refused(m)) << foreign;
    }
    request_marks m;
    m.sec_fetch_site = "cross-site";
    EXPECT_EQ(request_origin::cross_site_refusal(m), "Cross-site request refused (Sec-Fetch-Site: cross-site)");
    m.sec_fetch_site = "<script>";
    EXPECT_EQ(request_origin::cross_site_refusal(m), "Cross-site request refused (Sec-Fetch-Site: unknown)");
    // Default ports written or not, hosts case-blind, the scheme counted once forwarded, the first of a forwarded
    // list; "null" is sandboxed frames and data: URLs, and ftp has no port to compare.
    const struct { const char* origin; const char* forwarded_host; const char* proto; bool ok; } rows[] = {
        {"http://192.168.0.90", "192.168.0.90", "", true}, {"http://192.168.0.90", "192.168.0.90:80", "", true},
        {"https://Cam.Local", "cam.local:443", "", true},  {"http://cam.local:8080", "cam.local:8080", "", true},
        {"http://[fe80::1]:8080", "[FE80::1]:8080", "", true}, {"https://cam.local", "cam.local", "http", false},
        {"http://cam.local", "cam.local", "http", true},    {"http://cam.local:8081", "cam.local:8080", "", false},
        {"http://evil.example", "cam.local", "", false},    {"http://cam.local.evil.example", "cam.local", "", false},
        {"null", "cam.local", "", false},                   {"http://cam.local/path", "cam.local", "", false},
        {"http://user@cam.local", "cam.local", "", false},  {"ftp://cam.local", "cam.local", "", false},
        {"http://cam.local", "cam.local, proxy.internal", "", true},
        {"http://cam.local:65536", "cam.local:65536", "", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(refused(with_origin(r.origin, r.forwarded_host, r.proto)), !r.ok)
            << r.origin << " from " << r.forwarded_host << " proto " << r.proto;
    // Without a forwarded host, Host is the browser's (nothing rewrote it).
    request_marks direct = with_origin("http://cam.local", "");
    EXPECT_TRUE(refused(direct));
    direct.host = "cam.local";
    EXPECT_FALSE(refused(direct));
    EXPECT_EQ(request_origin::cross_site_refusal(with_origin("null", "cam")), "Cross-site request refused (Origin: null)");
}

TEST(RequestOrigin, WithNeitherABrowsersMarksNeedThePagesHeader) {
    request_marks script;  // curl, fleet tools: nothing of a browser
    EXPECT_FALSE(refused(script));
    for (const auto mark : {&request_marks::has_cookie, &request_marks::has_referer}) {
        request_marks m;
        m.*mark = true;
        EXPECT_TRUE(refused(m));
        m.has_requested_by = true;
        EXPECT_FALSE(refused(m));
    }
    for (const char* ok : {"", "application/x-www-form-urlencoded", "Application/X-WWW-Form-Urlencoded; charset=UTF-8",
                           " application/x-www-form-urlencoded ;charset=utf-8"})
        EXPECT_TRUE(request_origin::is_form_content_type(ok)) << ok;
    for (const char* bad : {"text/plain", "text/plain;charset=UTF-8", "multipart/form-data; boundary=x",
                            "application/json", "application/x-www-form-urlencodedx"})
        EXPECT_FALSE(request_origin::is_form_content_type(bad)) << bad;
}

}  // namespace
