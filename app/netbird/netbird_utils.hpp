#pragma once
// Rules about NetBird itself: tunnel-option validators, which environment
// keys a user may override, and how debug-bundle output is read.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace netbird_utils {

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

// Example: "NB_" -> true; "nb_log_level" -> false; "NB-LOG" -> false; "HOME" -> false.
bool is_valid_env_key(std::string_view key);
// Keys the system sets itself, as a variable or as the flag NetBird reads it
// for (an NB_<FLAG> variable wins over the flag). Example: "NB_DAEMON_ADDR" -> true.
bool is_protected_env_key(std::string_view key);
// Keys that are settings passed as flags. Example: "NB_MTU" -> true.
bool is_flag_mapped_env_key(std::string_view key);

// Why POST /env refuses a key, or empty when it is accepted: the syntax,
// the keys the system sets itself, the settings passed as flags, the lazy
// connection choice (made when connecting) and setup keys (never stored).
// Example: "NB_LOG_LEVEL" -> ""; "NB_SETUP_KEY" -> "A setup key is given once when enrolling, never stored";
//          "NB_CONFIG" -> "Env key is read-only"; "nb_x" -> "Invalid env key".
std::string_view env_key_refusal(std::string_view key);
// Why a value is refused for a key, or empty: the length bound, and a log
// level NetBird does not know (it would make the daemon and every command fail).
// Example: ("NB_LOG_LEVEL", "Debug") -> ""; ("NB_LOG_LEVEL", "verbose") -> "NB_LOG_LEVEL must be one of ...".
std::string_view env_value_refusal(std::string_view key, std::string_view value);

// Bounds of the overrides. Every NetBird process gets them in its
// environment, where the kernel limits one string to 128 KiB and all of them
// together to a quarter of the stack limit; these keep the whole set far below.
constexpr std::size_t MAX_ENV_VALUE_BYTES = 4096;
constexpr std::size_t MAX_ENV_OVERRIDES = 64;

// Removes from overrides read from env.json what may not be there: keys
// the system sets itself or refuses (env_key_refusal, but for the syntax,
// which a hand-edited file may break on purpose, e.g. HOME), values refused
// for their key, and entries beyond MAX_ENV_OVERRIDES (the first ones in key
// order stay). True when something was removed.
// Example: {NB_A: "x", NB_MTU: "1400", NB_SETUP_KEY: "k"} -> {NB_A: "x"}, true.
bool drop_unloadable_overrides(std::map<std::string, std::string>& overrides);

// Override values that must never reach a log line.
// Example: "NB_SETUP_KEY" -> true; "NB_LOG_LEVEL" -> false.
bool is_secret_env_key(std::string_view key);

// The `up` command line: the CLI prefix, "up", the management URL (the
// settings' one, or the default when it is missing, empty or not a string),
// the lazy-connection flag only when the form has the field, then the four
// tunnel options as the settings' read-time rules give them.
// Example: prefix P (5 elements), settings {}, form {} -> 16 elements:
//   P up --management-url https://api.netbird.io:443 --wireguard-port 51820
//   --mtu 1280 --interface-name wt0 --external-ip-map ""
std::vector<std::string> build_up_args(std::vector<std::string> cli_prefix, const nlohmann::json& settings,
                                       const std::map<std::string, std::string>& form);

// Environment additions for a NetBird process: the system pairs in order,
// then the overrides on top (an override replaces a system value).
// Example: system {A=1, B=2}, overrides {B=3, C=4} -> {A=1, B=3, C=4}.
std::map<std::string, std::string> compose_command_env(
    const std::vector<std::pair<std::string, std::string>>& system_env,
    const std::map<std::string, std::string>& overrides);

// What the supervisor keeps of a status report: the daemon's state, the
// management and signal connections with NetBird's error texts, and the
// peer counts; a member that is missing or of another type stays empty.
struct status_summary {
    std::optional<std::string> daemon_status;
    std::optional<bool> management_connected;
    std::string management_error;
    std::optional<bool> signal_connected;
    std::string signal_error;
    std::optional<std::int64_t> peers_connected;
    std::optional<std::int64_t> peers_total;
};

// The daemon states in which it has no enrolment to connect with.
// Example: "NeedsLogin" -> true; "LoginFailed" -> false (enrolled, its login refused).
bool is_unenrolled_state(std::string_view daemon_status);

// Whether `up` found the tunnel connected and so applied none of its flags.
// Example: "Already connected\n" -> true; "Connected\n" -> false.
bool up_was_already_connected(std::string_view output);

// Whether a process's argument vector is our NetBird daemon: one argument is
// the NetBird executable's path, one is "--daemon-addr" followed by our
// socket address (or joined to it by "="), and it ends in "service run".
// An interpreter in front (a script) is allowed.
// Example: {"/a/lib/netbird", "--daemon-addr", "unix:///a/nb.sock", "service", "run"}
//          with "/a/lib/netbird" and "unix:///a/nb.sock" -> true; the same without "run" -> false.
bool is_daemon_command_line(const std::vector<std::string>& argv, const std::string& netbird_path,
                            const std::string& daemon_addr);

// A command line for the log: arguments joined by blanks, the value after
// "--setup-key" replaced by "<redacted>", control characters escaped (a
// setting such as the management URL must not break the log line).
// Example: {"nb", "up", "--setup-key", "K"} -> "nb up --setup-key <redacted>".
std::string render_command_line(const std::vector<std::string>& args);

// The name a downloaded debug bundle gets: the device's host name (letters,
// digits, '.' and '-' only, at most 63 of them) and the UTC time.
// Example: ("axis-accc8e0001", 1765073640) -> "netbird-debug-axis-accc8e0001-20261207T021400Z.zip";
//          ("", ...) -> "netbird-debug-device-....zip"; ("a b/c", ...) -> "netbird-debug-a-b-c-....zip".
std::string debug_bundle_file_name(std::string_view host, std::time_t when);

// Path of the archive named after a "Local file:" line.
// Example: "Local file:\n  /tmp/b.zip\r\n" -> "/tmp/b.zip"; "Local file: /tmp/b.zip" -> nothing.
std::optional<std::string> parse_debug_bundle_path(const std::string& output);
// Key named after an "Upload file key:" line.
// Example: "Upload file key:\n abc/def \n" -> "abc/def"; "Upload file key:\n\n" -> nothing.
std::optional<std::string> parse_debug_bundle_upload_key(const std::string& output);

}  // namespace netbird_utils
