#pragma once
// NetBird's command lines as rules: the `up` command built from the settings,
// a command line as the log shows it, and how our daemon is told from other
// processes. The application's own prefixes are in netbird_command_lines.cpp.

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace command_lines {

// The `up` command line: the CLI prefix, "up", the management URL (the
// settings' one, or the default when it is missing, empty or not a string),
// the lazy-connection flag only when the form has the field, then the four
// tunnel options as the settings' read-time rules give them.
// Example: prefix P (5 elements), settings {}, form {} -> 16 elements:
//   P up --management-url https://api.netbird.io:443 --wireguard-port 51820
//   --mtu 1280 --interface-name wt0 --external-ip-map ""
std::vector<std::string> build_up_args(std::vector<std::string> cli_prefix, const nlohmann::json& settings,
                                       const std::map<std::string, std::string>& form);

// The tunnel settings an `up` command line gives NetBird, under the settings'
// names: what the tunnel runs with once it succeeded. A flag given twice
// (an override after ours) counts as NetBird reads it, the last one; a
// number that does not read as one stays text.
// Example: {"nb", "up", "--management-url", "https://m", "--mtu", "1280", "--mtu=1380", "--interface-name", "wt0"}
//   -> {"interface_name":"wt0","management_url":"https://m","mtu":1380}
nlohmann::json applied_settings(const std::vector<std::string>& up_args);

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

}  // namespace command_lines
