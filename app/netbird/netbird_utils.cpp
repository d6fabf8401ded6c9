#include "netbird/netbird_utils.hpp"

#include "settings/config_utils.hpp"
#include "core/text_utils.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>

namespace netbird_utils {
namespace {

constexpr std::array<std::string_view, 5> PROTECTED_KEYS = {"NB_CONFIG", "NB_STATE_DIR", "NB_MANAGEMENT_URL",
                                                            "NB_DAEMON_ADDR", "NB_LOG_FILE"};
constexpr std::array<std::string_view, 2> SETUP_KEY_KEYS = {"NB_SETUP_KEY", "NB_SETUP_KEY_FILE"};
constexpr std::string_view LAZY_CONNECTION_KEY = "NB_ENABLE_LAZY_CONNECTION";
constexpr std::string_view LOG_LEVEL_KEY = "NB_LOG_LEVEL";
// What NetBird's log set-up takes (logrus), in any case.
constexpr std::array<std::string_view, 8> NETBIRD_LOG_LEVELS = {"panic", "fatal", "error", "warn",
                                                                "warning", "info", "debug", "trace"};
constexpr std::size_t IPV4_PARTS = 4;
constexpr std::size_t IPV4_PART_DIGITS = 3;
constexpr int IPV4_PART_MAX = 255;
constexpr std::array<std::string_view, 4> FLAG_MAPPED_KEYS = {"NB_WIREGUARD_PORT", "NB_INTERFACE_NAME", "NB_MTU",
                                                              "NB_EXTERNAL_IP_MAP"};
constexpr std::array<std::string_view, 4> SECRET_MARKERS = {"KEY", "TOKEN", "SECRET", "PASSWORD"};
constexpr std::size_t MAX_INTERFACE_NAME = 15;
constexpr std::size_t MAX_BUNDLE_HOST_CHARS = 63;

std::string_view trim(std::string_view line) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = line.find_last_not_of(blanks);
    return line.substr(first, last - first + 1);
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Dotted decimal as NetBird's address parser takes it: four parts of 1 to
// 3 digits, each at most 255, no leading zero.
bool is_ipv4(std::string_view text) {
    std::size_t parts = 0;
    while (true) {
        const auto dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > IPV4_PART_DIGITS || (part.size() > 1 && part.front() == '0')) return false;
        int value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value > IPV4_PART_MAX || ++parts > IPV4_PARTS) return false;
        if (dot == std::string_view::npos) return parts == IPV4_PARTS;
        text.remove_prefix(dot + 1);
    }
}

// Calls visit(trimmed_line) for every line; the text after the last line
// feed is a line too.
void for_each_trimmed_line(std::string_view output, const std::function<void(std::string_view)>& visit) {
    while (true) {
        const auto lf = output.find('\n');
        visit(trim(output.substr(0, lf)));
        if (lf == std::string_view::npos) return;
        output.remove_prefix(lf + 1);
    }
}

}  // namespace

bool is_valid_external_ip_map(std::string_view value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '.' || c == '/' || c == ',';
    });
}

bool netbird_accepts_external_ip_map(std::string_view value) {
    if (value.empty()) return true;
    while (true) {
        const auto comma = value.find(',');
        const std::string_view entry = value.substr(0, comma);
        const auto slash = entry.find('/');
        if (!is_ipv4(entry.substr(0, slash))) return false;
        if (slash != std::string_view::npos && !is_ipv4(entry.substr(slash + 1))) return false;
        if (comma == std::string_view::npos) return true;
        value.remove_prefix(comma + 1);
    }
}

bool is_valid_interface_name(std::string_view value) {
    if (value.empty() || value.size() > MAX_INTERFACE_NAME) return false;
    return std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

bool is_valid_wireguard_port(int port) { return port >= 1 && port <= 65535; }

bool is_valid_mtu(int mtu) { return mtu >= 576 && mtu <= 8192; }

bool is_valid_env_key(std::string_view key) {
    if (key.size() < 3 || key.substr(0, 3) != "NB_") return false;
    return std::all_of(key.begin(), key.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; });
}

bool is_protected_env_key(std::string_view key) {
    return std::find(PROTECTED_KEYS.begin(), PROTECTED_KEYS.end(), key) != PROTECTED_KEYS.end();
}

bool is_flag_mapped_env_key(std::string_view key) {
    return std::find(FLAG_MAPPED_KEYS.begin(), FLAG_MAPPED_KEYS.end(), key) != FLAG_MAPPED_KEYS.end();
}

std::string_view env_key_refusal(std::string_view key) {
    if (!is_valid_env_key(key)) return "Invalid env key";
    if (is_protected_env_key(key)) return "Env key is read-only";
    if (is_flag_mapped_env_key(key)) return "Use Tunnel settings for this NetBird flag";
    if (key == LAZY_CONNECTION_KEY) return "Lazy connections are chosen when connecting, not as an env override";
    if (std::find(SETUP_KEY_KEYS.begin(), SETUP_KEY_KEYS.end(), key) != SETUP_KEY_KEYS.end())
        return "A setup key is given once when enrolling, never stored";
    return {};
}

std::string_view env_value_refusal(std::string_view key, std::string_view value) {
    if (value.size() > MAX_ENV_VALUE_BYTES) return "Env value must be at most 4096 bytes";
    if (key == LOG_LEVEL_KEY &&
        std::none_of(NETBIRD_LOG_LEVELS.begin(), NETBIRD_LOG_LEVELS.end(),
                     [value](std::string_view level) { return iequals(level, value); }))
        return "NB_LOG_LEVEL must be one of panic, fatal, error, warn, warning, info, debug, trace";
    return {};
}

bool drop_unloadable_overrides(std::map<std::string, std::string>& overrides) {
    bool removed = false;
    std::size_t kept = 0;
    for (auto it = overrides.begin(); it != overrides.end();) {
        const auto key_refusal = env_key_refusal(it->first);
        const bool refused = (!key_refusal.empty() && is_valid_env_key(it->first)) ||
                             !env_value_refusal(it->first, it->second).empty() || kept >= MAX_ENV_OVERRIDES;
        if (refused) {
            it = overrides.erase(it);
            removed = true;
        } else {
            ++kept;
            ++it;
        }
    }
    return removed;
}

bool is_secret_env_key(std::string_view key) {
    return std::any_of(SECRET_MARKERS.begin(), SECRET_MARKERS.end(),
                       [key](std::string_view marker) { return key.find(marker) != std::string_view::npos; });
}

std::vector<std::string> build_up_args(std::vector<std::string> cli_prefix, const nlohmann::json& settings,
                                       const std::map<std::string, std::string>& form) {
    std::vector<std::string> args = std::move(cli_prefix);
    args.emplace_back("up");
    std::string management_url = config_utils::read_management_url(settings);
    if (management_url.empty()) management_url = std::string(NETBIRD_DEFAULT_MANAGEMENT_URL);
    args.emplace_back("--management-url");
    args.push_back(management_url);
    if (const auto lazy = form.find("enable_lazy_connection"); lazy != form.end())
        args.emplace_back(lazy->second == "true" ? "--enable-lazy-connection=true" : "--enable-lazy-connection=false");
    args.emplace_back("--wireguard-port");
    args.push_back(std::to_string(config_utils::read_wireguard_port(settings)));
    args.emplace_back("--mtu");
    args.push_back(std::to_string(config_utils::read_mtu(settings)));
    args.emplace_back("--interface-name");
    args.push_back(config_utils::read_interface_name(settings));
    args.emplace_back("--external-ip-map");
    args.push_back(config_utils::read_external_ip_map(settings));
    return args;
}

std::map<std::string, std::string> compose_command_env(
    const std::vector<std::pair<std::string, std::string>>& system_env,
    const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> env;
    for (const auto& [name, value] : system_env) env[name] = value;
    for (const auto& [name, value] : overrides) env[name] = value;
    return env;
}

bool is_unenrolled_state(std::string_view daemon_status) { return daemon_status == "NeedsLogin"; }

bool up_was_already_connected(std::string_view output) {
    bool found = false;
    for_each_trimmed_line(output, [&found](std::string_view line) { found = found || line == "Already connected"; });
    return found;
}

bool is_daemon_command_line(const std::vector<std::string>& argv, const std::string& netbird_path,
                            const std::string& daemon_addr) {
    const auto n = argv.size();
    if (n < 4 || argv[n - 2] != "service" || argv[n - 1] != "run") return false;
    bool program = false;
    bool address = false;
    for (std::size_t i = 0; i + 2 < n; ++i) {
        if (argv[i] == netbird_path) program = true;
        if ((argv[i] == "--daemon-addr" && argv[i + 1] == daemon_addr) || argv[i] == "--daemon-addr=" + daemon_addr)
            address = true;
    }
    return program && address;
}

std::string render_command_line(const std::vector<std::string>& args) {
    std::string line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) line += ' ';
        line += text_utils::escape_for_log(args[i]);
        if (args[i] == "--setup-key" && i + 1 < args.size()) {
            line += " <redacted>";
            ++i;
        }
    }
    return line;
}

std::string debug_bundle_file_name(std::string_view host, std::time_t when) {
    std::string name;
    for (const char c : host.substr(0, MAX_BUNDLE_HOST_CHARS)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
        name += plain ? c : '-';
    }
    if (name.empty()) name = "device";
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[24];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return "netbird-debug-" + name + "-" + stamp + ".zip";
}

std::optional<std::string> parse_debug_bundle_path(const std::string& output) {
    std::optional<std::string> found;
    bool after_label = false;
    for_each_trimmed_line(output, [&](std::string_view line) {
        if (found) return;
        if (after_label && line.size() > 4 && line.front() == '/' && line.substr(line.size() - 4) == ".zip") {
            found = std::string(line);
            return;
        }
        after_label = line == "Local file:";
    });
    return found;
}

std::optional<std::string> parse_debug_bundle_upload_key(const std::string& output) {
    std::optional<std::string> found;
    bool armed = false;
    for_each_trimmed_line(output, [&](std::string_view line) {
        if (found) return;
        if (armed && !line.empty()) {
            found = std::string(line);
            return;
        }
        armed = line == "Upload file key:";
    });
    return found;
}

}  // namespace netbird_utils
