#include "netbird/tunnel_options.hpp"

#include <gtest/gtest.h>

// Ranges and the common cases are covered through the settings rules; these are the leftovers.
TEST(TunnelOptions, Validators) {
    for (const char* bad : {"a.b", "1.2.3.4;5", "1-2"})
        EXPECT_FALSE(tunnel_options::is_valid_external_ip_map(bad)) << bad;
    for (const char* bad : {"", "wt 0", "w\xc3\xa9", "wt0\n"})
        EXPECT_FALSE(tunnel_options::is_valid_interface_name(bad)) << bad;
    EXPECT_TRUE(tunnel_options::is_valid_external_ip_map("") && tunnel_options::is_valid_interface_name("Az09_-"));
    // NetBird refuses these at every up: they must never be stored.
    for (const char* ok : {"", "1.2.3.4", "0.0.0.0/255.255.255.255", "1.2.3.4/10.0.0.2,5.6.7.8"})
        EXPECT_TRUE(tunnel_options::netbird_accepts_external_ip_map(ok)) << ok;
    for (const char* bad : {"1.2.3", "1.2.3.4,", ",1.2.3.4", "1.2.3.4,,5.6.7.8", "1.2.3.4/5.6.7.8/9.9.9.9",
                            "1.2.3.4/", "01.2.3.4", "256.1.1.1", "1.2.3.4.5", "1..3.4", "1.2.3.4/10"})
        EXPECT_FALSE(tunnel_options::netbird_accepts_external_ip_map(bad)) << bad;
    // As NetBird parses it: http or https, a host, an optional port; nothing else.
    for (const char* ok : {"https://mgmt.example.com", "HTTP://10.0.0.1:33073", "https://h:1/", "http://[fd00::1]",
                           "https://[fd00::1]:443", "https://a_b-c.d:65535"})
        EXPECT_TRUE(tunnel_options::netbird_accepts_management_url(ok)) << ok;
    for (const char* bad : {"ftp://x", "mgmt.example.com:443", "not a url", "", "https://", "https://h:", "https://h:0",
                            "https://h:65536", "https://h:443x", "https://u@h", "https://h/api", "https://h?x",
                            "https://h h", "https:/h", "https://[fd00::1", "https://[zz::1]", "https://h\n"})
        EXPECT_FALSE(tunnel_options::netbird_accepts_management_url(bad)) << bad;
}
