#include "settings/config_utils.hpp"

#include "netbird/tunnel_options.hpp"
#include "core/text_utils.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <optional>

namespace config_utils {
namespace {

constexpr std::array<std::string_view, 9> CONFIG_KEYS = {
    "management_url", "watchdog_enabled", "watchdog_timeout", "log_retention_days", "log_level",
    "wireguard_port", "external_ip_map",  "mtu",              "interface_name"};

bool is_integer_setting(std::string_view key) {
    return key == "watchdog_timeout" || key == "log_retention_days" || key == "wireguard_port" || key == "mtu";
}

// A stored integer member, or nothing when the member is absent or not an
// integer number. Read in 64 bits so that a huge value in a hand-edited file
// is judged by its size instead of wrapping into some valid-looking 32-bit
// value (4294968572 must not read as an MTU of 1276).
std::optional<std::int64_t> stored_int(const nlohmann::json& config, const char* key) {
    if (!config.is_object()) return std::nullopt;
    const auto it = config.find(key);
    if (it == config.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(value);
    }
    return it->get<std::int64_t>();
}

bool fits_int(std::int64_t value) { return value >= INT_MIN && value <= INT_MAX; }

std::optional<std::string> stored_string(const nlohmann::json& config, const char* key) {
    if (!config.is_object()) return std::nullopt;
    const auto it = config.find(key);
    if (it == config.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool int_in_range(std::string_view text, int low, int high) {
    const auto value = text_utils::parse_int(text);
    return value && *value >= low && *value <= high;
}

}  // namespace

bool is_valid_config_key(std::string_view name) {
    return std::find(CONFIG_KEYS.begin(), CONFIG_KEYS.end(), name) != CONFIG_KEYS.end();
}

bool is_valid_log_level(std::string_view level) {
    static constexpr std::array<std::string_view, 7> LEVELS = {"trace", "debug",    "info", "warning",
                                                               "error", "critical", "off"};
    return std::find(LEVELS.begin(), LEVELS.end(), level) != LEVELS.end();
}

nlohmann::json coerce_config_value(const std::string& key, const std::string& value) {
    if (key == "watchdog_enabled") return value == "true";
    if (is_integer_setting(key)) {
        if (const auto number = text_utils::parse_int(value)) return *number;
    }
    return value;
}

std::string validate_config_value(std::string_view key, std::string_view value) {
    if (key == "watchdog_enabled") {
        if (value != "true" && value != "false") return "watchdog_enabled must be true or false";
    } else if (key == "watchdog_timeout") {
        const auto seconds = text_utils::parse_int(value);
        if (!seconds || *seconds < WATCHDOG_MIN_TIMEOUT_SECONDS) return "watchdog_timeout must be an integer >= 30 (seconds)";
    } else if (key == "log_retention_days") {
        if (!int_in_range(value, LOG_RETENTION_MIN_DAYS, LOG_RETENTION_MAX_DAYS))
            return "log_retention_days must be an integer between 1 and 365";
    } else if (key == "log_level") {
        if (!is_valid_log_level(value)) return "log_level must be one of trace, debug, info, warning, error, critical, off";
    } else if (key == "wireguard_port") {
        if (!int_in_range(value, 1, 65535)) return "wireguard_port must be an integer between 1 and 65535";
    } else if (key == "external_ip_map") {
        if (!tunnel_options::is_valid_external_ip_map(value) || !tunnel_options::netbird_accepts_external_ip_map(value))
            return "external_ip_map must be a comma-separated list of [localIP/]externalIP pairs";
    } else if (key == "mtu") {
        if (!int_in_range(value, 576, 8192)) return "mtu must be an integer between 576 and 8192";
    } else if (key == "management_url") {
        if (!tunnel_options::netbird_accepts_management_url(value)) return std::string(MANAGEMENT_URL_FORMAT);
    } else if (key == "interface_name") {
        if (!tunnel_options::is_valid_interface_name(value))
            return "interface_name must be 1-15 characters using only letters, digits, '_' or '-'";
    }
    return {};
}

int parse_retention_days(const nlohmann::json& config) {
    const auto days = stored_int(config, "log_retention_days");
    if (!days) return LOG_RETENTION_DEFAULT_DAYS;
    return static_cast<int>(std::clamp<std::int64_t>(*days, LOG_RETENTION_MIN_DAYS, LOG_RETENTION_MAX_DAYS));
}

std::string parse_log_level(const nlohmann::json& config) {
    const auto level = stored_string(config, "log_level");
    return level && is_valid_log_level(*level) ? *level : std::string(LOG_LEVEL_DEFAULT);
}

int read_mtu(const nlohmann::json& config) {
    const auto mtu = stored_int(config, "mtu");
    return mtu && fits_int(*mtu) && tunnel_options::is_valid_mtu(static_cast<int>(*mtu)) ? static_cast<int>(*mtu)
                                                                                        : MTU_DEFAULT;
}

int read_wireguard_port(const nlohmann::json& config) {
    const auto port = stored_int(config, "wireguard_port");
    return port && fits_int(*port) && tunnel_options::is_valid_wireguard_port(static_cast<int>(*port))
               ? static_cast<int>(*port)
               : WIREGUARD_PORT_DEFAULT;
}

std::string read_interface_name(const nlohmann::json& config) {
    const auto name = stored_string(config, "interface_name");
    return name && tunnel_options::is_valid_interface_name(*name)
               ? *name
               : std::string(tunnel_options::NETBIRD_DEFAULT_INTERFACE);
}

std::string read_external_ip_map(const nlohmann::json& config) {
    return stored_string(config, "external_ip_map").value_or("");
}

bool read_watchdog_enabled(const nlohmann::json& config) {
    if (!config.is_object()) return true;
    const auto it = config.find("watchdog_enabled");
    return it != config.end() && it->is_boolean() ? it->get<bool>() : true;
}

int read_watchdog_timeout(const nlohmann::json& config) {
    const auto seconds = stored_int(config, "watchdog_timeout");
    return seconds && fits_int(*seconds) && *seconds >= WATCHDOG_MIN_TIMEOUT_SECONDS ? static_cast<int>(*seconds)
                                                                                      : WATCHDOG_DEFAULT_TIMEOUT_SECONDS;
}

std::string management_url_problem(const nlohmann::json& config) {
    const std::string url = read_management_url(config);
    if (url.empty() || tunnel_options::netbird_accepts_management_url(url)) return {};
    return "The stored management URL is not one NetBird accepts, so every connect fails: " +
           std::string(MANAGEMENT_URL_FORMAT);
}

std::string read_management_url(const nlohmann::json& config) {
    return stored_string(config, "management_url").value_or("");
}

}  // namespace config_utils
