#pragma once
// The tunnel options NetBird takes as flags of `up`: their defaults and which
// values are valid (the settings rules read and store them through these).

#include <string_view>

namespace tunnel_options {

constexpr std::string_view NETBIRD_DEFAULT_INTERFACE = "wt0";
// Management server used when the user has not configured one.
constexpr std::string_view NETBIRD_DEFAULT_MANAGEMENT_URL = "https://api.netbird.io:443";

// Example: "1.2.3.4/5.6.7.8,9.9.9.9" -> true; "" -> true; "10.0.0.1 " -> false.
bool is_valid_external_ip_map(std::string_view value);
// Whether NetBird takes the map: comma-separated entries, none empty, each
// an IPv4 address or two joined by "/" (the interface names NetBird also
// takes after "/" cannot pass the character rule above). An empty map is
// no entries.
// Example: "1.2.3.4/10.0.0.2,5.6.7.8" -> true; "1.2.3" -> false; "1.2.3.4," -> false;
//          "1.2.3.4/5.6.7.8/9.9.9.9" -> false; "01.2.3.4" -> false (no leading zeros).
bool netbird_accepts_external_ip_map(std::string_view value);
// Example: "wg-mgmt_1" -> true; "eth0.100" -> false; "" -> false.
bool is_valid_interface_name(std::string_view value);
// Example: 65535 -> true; 0 -> false.
bool is_valid_wireguard_port(int port);
// Example: 576 -> true; 9000 -> false.
bool is_valid_mtu(int mtu);
// Whether NetBird takes a management URL: "http" or "https" (any case),
// "://", a host (a name of letters, digits, '.', '-' and '_', or an IPv6
// address in brackets), an optional port 1 to 65535 (NetBird adds 443 or 80
// when it is missing), and at most a "/" after it. NetBird refuses other
// schemes and text that is no URL at every up.
// Example: "https://mgmt.example.com" -> true; "http://[fd00::1]:33073/" -> true;
//          "ftp://x" -> false; "mgmt.example.com:443" -> false; "not a url" -> false;
//          "https://" -> false; "https://h:" -> false; "https://u@h" -> false; "https://h/api" -> false.
bool netbird_accepts_management_url(std::string_view url);

}  // namespace tunnel_options
