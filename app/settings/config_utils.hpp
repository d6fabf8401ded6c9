#pragma once
// Rules for the settings in app.json: which keys exist, which values are
// accepted, how submitted text becomes a stored value and how a stored value
// is read back (anything unusable reads as the key's default).

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace config_utils {

constexpr int LOG_RETENTION_DEFAULT_DAYS = 30;
constexpr int LOG_RETENTION_MIN_DAYS = 1;
constexpr int LOG_RETENTION_MAX_DAYS = 365;
constexpr int WATCHDOG_DEFAULT_TIMEOUT_SECONDS = 300;
constexpr int WATCHDOG_MIN_TIMEOUT_SECONDS = 30;
constexpr int WIREGUARD_PORT_DEFAULT = 51820;
constexpr int MTU_DEFAULT = 1280;
constexpr std::string_view LOG_LEVEL_DEFAULT = "info";
// How a management URL must be written (tunnel_options::netbird_accepts_management_url).
constexpr std::string_view MANAGEMENT_URL_FORMAT =
    "management_url must be http:// or https://, a host and an optional port, such as "
    "https://netbird.example.com:443";

// Example: "mtu" -> true; "enable_lazy_connection" -> false.
bool is_valid_config_key(std::string_view name);

// Example: "warning" -> true; "warn" -> false; "Info" -> false.
bool is_valid_log_level(std::string_view level);

// Turns submitted text into the JSON value stored for a key; no range check.
// Example: ("mtu", "1400abc") -> 1400; ("mtu", "abc") -> "abc";
// ("watchdog_enabled", "TRUE") -> false; ("log_level", "debug") -> "debug".
nlohmann::json coerce_config_value(const std::string& key, const std::string& value);

// Message refusing a submitted value for a key, or empty when it is accepted.
// Example: ("mtu", "9000") -> "mtu must be an integer between 576 and 8192".
std::string validate_config_value(std::string_view key, std::string_view value);

// Read-time rules on the whole settings object (any JSON value).
// Example: {"log_retention_days": 1000} -> 365; {"log_retention_days": "10"} -> 30.
int parse_retention_days(const nlohmann::json& config);
// Example: {"log_level": "warning"} -> "warning"; {"log_level": "warn"} -> "info".
std::string parse_log_level(const nlohmann::json& config);
// Example: {"mtu": 9000} -> 1280; {"mtu": 1400.0} -> 1280; {"mtu": 576} -> 576.
int read_mtu(const nlohmann::json& config);
// Example: {"wireguard_port": 0} -> 51820.
int read_wireguard_port(const nlohmann::json& config);
// Example: {"interface_name": "eth0.100"} -> "wt0".
std::string read_interface_name(const nlohmann::json& config);
// Example: {"external_ip_map": "x y"} -> "x y" (not checked on read).
std::string read_external_ip_map(const nlohmann::json& config);
// Example: {"watchdog_enabled": "false"} -> true.
bool read_watchdog_enabled(const nlohmann::json& config);
// Example: {"watchdog_timeout": 29} -> 300.
int read_watchdog_timeout(const nlohmann::json& config);
// Example: {"management_url": 5} -> "".
std::string read_management_url(const nlohmann::json& config);
// What is wrong with a stored management URL NetBird would refuse (kept as
// it is, from an older version or a hand-edited file), or empty.
// Example: {"management_url": "ftp://x"} -> "The stored management URL is not one NetBird accepts, ...";
//          {"management_url": "https://h"} -> ""; {} -> "".
std::string management_url_problem(const nlohmann::json& config);

}  // namespace config_utils
