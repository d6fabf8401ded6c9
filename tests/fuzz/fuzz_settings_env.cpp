// The settings and environment rules: any value the settings endpoint accepts for a key is stored so that it reads
// back as that same value, and any overrides read from a file are cut down to what may be loaded.

#include "settings/config_utils.hpp"
#include "settings/env_overrides.hpp"
#include "core/text_utils.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace {

constexpr std::array<const char*, 9> KEYS = {"management_url", "watchdog_enabled", "watchdog_timeout",
                                             "log_retention_days", "log_level", "wireguard_port",
                                             "external_ip_map", "mtu", "interface_name"};

void check(bool ok) {
    if (!ok) std::abort();
}

// An accepted value reads back unchanged through the read-time rules.
void check_setting(const std::string& key, const std::string& value) {
    if (!config_utils::validate_config_value(key, value).empty()) return;
    const nlohmann::json settings = {{key, config_utils::coerce_config_value(key, value)}};
    const auto number = text_utils::parse_int(value);
    if (key == "watchdog_enabled") check(config_utils::read_watchdog_enabled(settings) == (value == "true"));
    else if (key == "watchdog_timeout") check(number && config_utils::read_watchdog_timeout(settings) == *number);
    else if (key == "log_retention_days") check(number && config_utils::parse_retention_days(settings) == *number);
    else if (key == "log_level") check(config_utils::parse_log_level(settings) == value);
    else if (key == "wireguard_port") check(number && config_utils::read_wireguard_port(settings) == *number);
    else if (key == "mtu") check(number && config_utils::read_mtu(settings) == *number);
    else if (key == "interface_name") check(config_utils::read_interface_name(settings) == value);
    else if (key == "external_ip_map") check(config_utils::read_external_ip_map(settings) == value);
    else check(config_utils::read_management_url(settings) == value &&
               config_utils::management_url_problem(settings).empty());  // accepted: never a problem later
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string key = KEYS[provider.ConsumeIntegralInRange<std::size_t>(0, KEYS.size() - 1)];
    check_setting(key, provider.ConsumeRandomLengthString(256));

    std::map<std::string, std::string> overrides;
    while (provider.remaining_bytes() > 0) {
        std::string name = provider.ConsumeRandomLengthString(32);
        if (env_overrides::is_protected_env_key(name) || env_overrides::is_flag_mapped_env_key(name))
            check(env_overrides::is_valid_env_key(name));
        overrides[std::move(name)] = provider.ConsumeRandomLengthString(5000);
    }
    env_overrides::drop_unloadable_overrides(overrides);
    check(overrides.size() <= env_overrides::MAX_ENV_OVERRIDES);
    for (const auto& [name, value] : overrides) {
        check(!env_overrides::is_protected_env_key(name) && !env_overrides::is_flag_mapped_env_key(name));
        check(value.size() <= env_overrides::MAX_ENV_VALUE_BYTES);
    }
    return 0;
}
