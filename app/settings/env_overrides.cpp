#include "settings/env_overrides.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace env_overrides {
namespace {

constexpr std::array<std::string_view, 5> PROTECTED_KEYS = {"NB_CONFIG", "NB_STATE_DIR", "NB_MANAGEMENT_URL",
                                                            "NB_DAEMON_ADDR", "NB_LOG_FILE"};
constexpr std::array<std::string_view, 2> SETUP_KEY_KEYS = {"NB_SETUP_KEY", "NB_SETUP_KEY_FILE"};
constexpr std::string_view LAZY_CONNECTION_KEY = "NB_ENABLE_LAZY_CONNECTION";
constexpr std::string_view LOG_LEVEL_KEY = "NB_LOG_LEVEL";
// What NetBird's log set-up takes (logrus), in any case.
constexpr std::array<std::string_view, 8> NETBIRD_LOG_LEVELS = {"panic", "fatal", "error", "warn",
                                                                "warning", "info", "debug", "trace"};
constexpr std::array<std::string_view, 4> FLAG_MAPPED_KEYS = {"NB_WIREGUARD_PORT", "NB_INTERFACE_NAME", "NB_MTU",
                                                              "NB_EXTERNAL_IP_MAP"};
// Overrides that leave the daemon unable to do what the supervisor asks:
// idle after every start, the whole client run inside `up` (which then never
// returns), or another configuration file than the one watched and wiped.
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> WEDGING_KEYS = {{
    {"NB_DISABLE_AUTO_CONNECT", "NB_DISABLE_AUTO_CONNECT would leave NetBird idle after every start"},
    {"NB_FOREGROUND_MODE", "NB_FOREGROUND_MODE would run NetBird inside the connect command, which never ends"},
    {"NB_PROFILE", "NB_PROFILE would move NetBird to a configuration this application does not manage"},
}};
// The flags `up` itself reads (NB_<FLAG>, the flag's dashes as underscores)
// and sends to the daemon when it connects; the daemon never reads them. The
// ones the supervisor passes, or refuses above, are left out.
constexpr std::array<std::string_view, 21> UP_FLAG_KEYS = {
    "NB_ALLOW_SERVER_SSH",
    "NB_BLOCK_INBOUND",
    "NB_BLOCK_LAN_ACCESS",
    "NB_DISABLE_CLIENT_ROUTES",
    "NB_DISABLE_DNS",
    "NB_DISABLE_FIREWALL",
    "NB_DISABLE_SERVER_ROUTES",
    "NB_DISABLE_SSH_AUTH",
    "NB_DNS_RESOLVER_ADDRESS",
    "NB_DNS_ROUTER_INTERVAL",
    "NB_ENABLE_ROSENPASS",
    "NB_ENABLE_SSH_LOCAL_PORT_FORWARDING",
    "NB_ENABLE_SSH_REMOTE_PORT_FORWARDING",
    "NB_ENABLE_SSH_ROOT",
    "NB_ENABLE_SSH_SFTP",
    "NB_EXTRA_DNS_LABELS",
    "NB_EXTRA_IFACE_BLACKLIST",
    "NB_NETWORK_MONITOR",
    "NB_NO_BROWSER",
    "NB_ROSENPASS_PERMISSIVE",
    "NB_SSH_JWT_CACHE_TTL",
};
constexpr std::array<std::string_view, 4> SECRET_MARKERS = {"KEY", "TOKEN", "SECRET", "PASSWORD"};

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

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
    for (const auto& [wedging, refusal] : WEDGING_KEYS)
        if (key == wedging) return refusal;
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

bool is_up_flag_env_key(std::string_view key) {
    return std::find(UP_FLAG_KEYS.begin(), UP_FLAG_KEYS.end(), key) != UP_FLAG_KEYS.end();
}

std::vector<std::string> up_flag_overrides(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> pairs;
    for (const auto& [name, value] : overrides)
        if (is_up_flag_env_key(name)) pairs.push_back(name + "=" + value);
    return pairs;
}

bool is_secret_env_key(std::string_view key) {
    return std::any_of(SECRET_MARKERS.begin(), SECRET_MARKERS.end(),
                       [key](std::string_view marker) { return key.find(marker) != std::string_view::npos; });
}

std::map<std::string, std::string> compose_command_env(
    const std::vector<std::pair<std::string, std::string>>& system_env,
    const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> env;
    for (const auto& [name, value] : system_env) env[name] = value;
    for (const auto& [name, value] : overrides) env[name] = value;
    return env;
}

}  // namespace env_overrides
