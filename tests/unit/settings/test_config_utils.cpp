#include "settings/config_utils.hpp"

#include <gtest/gtest.h>

using nlohmann::json;
namespace cu = config_utils;

TEST(ConfigKeys, OnlyTheNineSettings) {
    for (const char* key : {"management_url", "watchdog_enabled", "watchdog_timeout", "log_retention_days",
                            "log_level", "wireguard_port", "external_ip_map", "mtu", "interface_name"})
        EXPECT_TRUE(cu::is_valid_config_key(key)) << key;
    for (const char* key : {"setup_key", "MTU", ""}) EXPECT_FALSE(cu::is_valid_config_key(key)) << key;
    const struct { const char* key; const char* text; json expected; } cases[] = {
        {"mtu", "1400abc", 1400}, {"mtu", "abc", "abc"}, {"mtu", " 45", 45}, {"mtu", "0x10", 0},
        {"mtu", "99999999999", "99999999999"}, {"wireguard_port", "-7", -7}, {"watchdog_timeout", "+7", 7},
        {"log_retention_days", "", ""}, {"watchdog_enabled", "true", true}, {"watchdog_enabled", "TRUE", false},
        {"watchdog_enabled", "1", false}, {"log_level", "debug", "debug"}, {"interface_name", "12", "12"},
        {"external_ip_map", "1.2", "1.2"}, {"management_url", "7", "7"},
    };
    for (const auto& c : cases) {
        const json stored = cu::coerce_config_value(c.key, c.text);  // 1400 as an integer, never 1400.0 or "1400"
        EXPECT_TRUE(stored == c.expected && stored.type() == c.expected.type()) << c.key << "=" << c.text << ": " << stored;
    }
}

TEST(ValidateConfigValue, OneMessagePerKey) {
    const std::string timeout = "watchdog_timeout must be an integer >= 30 (seconds)";
    const std::string days = "log_retention_days must be an integer between 1 and 365";
    const std::string port = "wireguard_port must be an integer between 1 and 65535";
    const std::string mtu = "mtu must be an integer between 576 and 8192";
    const std::string iface = "interface_name must be 1-15 characters using only letters, digits, '_' or '-'";
    const std::string level = "log_level must be one of trace, debug, info, warning, error, critical, off";
    const std::string url(cu::MANAGEMENT_URL_FORMAT);
    const std::string ipmap = "external_ip_map must be a comma-separated list of [localIP/]externalIP pairs";
    const struct { const char* key; const char* value; std::string expected; } cases[] = {
        {"watchdog_enabled", "true", ""}, {"watchdog_enabled", "false", ""},
        {"watchdog_enabled", "TRUE", "watchdog_enabled must be true or false"},
        {"watchdog_timeout", "30", ""}, {"watchdog_timeout", "100000", ""}, {"watchdog_timeout", "45s", ""},
        {"watchdog_timeout", "29", timeout}, {"watchdog_timeout", "99999999999", timeout},
        {"log_retention_days", "1", ""}, {"log_retention_days", "365", ""},
        {"log_retention_days", "0", days}, {"log_retention_days", "366", days},
        {"log_level", "off", ""}, {"log_level", "Info", level}, {"log_level", "err", level},
        {"wireguard_port", "1", ""}, {"wireguard_port", "65535", ""},
        {"wireguard_port", "0", port}, {"wireguard_port", "65536", port}, {"wireguard_port", "-1", port},
        {"external_ip_map", "1.2.3.4/5.6.7.8,9.9.9.9", ""},
        {"external_ip_map", "10.0.0.1 ", ipmap}, {"external_ip_map", "1.2.3.4,", ipmap},  // NetBird refuses it at up
        {"mtu", "576", ""}, {"mtu", "8192", ""}, {"mtu", "575", mtu}, {"mtu", "9000", mtu}, {"mtu", "x", mtu},
        {"interface_name", "wg-mgmt_1", ""}, {"interface_name", "eth0.100", iface},
        {"interface_name", "abcdefghijklmnop", iface}, {"management_url", "https://m.example.com:33073", ""},
        {"management_url", "mgmt.example.com:443", url}, {"management_url", "not a url", url},  // refused at up
    };
    for (const auto& c : cases) EXPECT_EQ(cu::validate_config_value(c.key, c.value), c.expected) << c.key << c.value;
}

// Whatever is stored (hand-edited, unchecked "up" form), readers never hand on a value out of range or type.
TEST(ReadConfig, SettingsFallBackOrClamp) {
    using reader = int (*)(const json&);
    const reader days = cu::parse_retention_days, mtu = cu::read_mtu, port = cu::read_wireguard_port,
                 timeout = cu::read_watchdog_timeout;
    const struct { reader read; const char* config; int expected; } cases[] = {
        {days, R"({})", 30}, {days, R"({"log_retention_days":7})", 7}, {days, R"({"log_retention_days":0})", 1},
        {days, R"({"log_retention_days":1000})", 365}, {days, R"({"log_retention_days":"10"})", 30},
        {days, R"({"log_retention_days":10.0})", 30}, {mtu, R"({})", 1280}, {mtu, R"({"mtu":576})", 576},
        {mtu, R"({"mtu":8192})", 8192}, {mtu, R"({"mtu":575})", 1280}, {mtu, R"({"mtu":9000})", 1280},
        {mtu, R"({"mtu":1400.0})", 1280}, {mtu, R"({"mtu":"1400"})", 1280}, {port, R"({})", 51820},
        {port, R"({"wireguard_port":1})", 1}, {port, R"({"wireguard_port":65535})", 65535},
        {port, R"({"wireguard_port":0})", 51820}, {port, R"({"wireguard_port":65536})", 51820},
        {timeout, R"({})", 300}, {timeout, R"({"watchdog_timeout":29})", 300},
        {timeout, R"({"watchdog_timeout":30})", 30}, {timeout, R"({"watchdog_timeout":"60"})", 300},
        {days, R"([7])", 30}, {mtu, R"("x")", 1280}, {port, R"(null)", 51820}, {timeout, R"(60)", 300},
        // Values beyond 32 bits are judged by their size, never wrapped into range.
        {mtu, R"({"mtu":4294968572})", 1280}, {port, R"({"wireguard_port":4294967297})", 51820},
        {days, R"({"log_retention_days":4294967296})", 365},
        {days, R"({"log_retention_days":18446744073709551615})", 365},
        {days, R"({"log_retention_days":-4294967296})", 1},
        {timeout, R"({"watchdog_timeout":-4294967266})", 300}, {timeout, R"({"watchdog_timeout":4294967326})", 300},
    };
    for (const auto& c : cases) EXPECT_EQ(c.read(json::parse(c.config)), c.expected) << c.config;
    using text_reader = std::string (*)(const json&);
    const text_reader level = cu::parse_log_level, iface = cu::read_interface_name, ipmap = cu::read_external_ip_map,
                      url = cu::read_management_url;
    const struct { text_reader read; const char* config; const char* expected; } texts[] = {
        {level, R"({})", "info"}, {level, R"({"log_level":"warning"})", "warning"},
        {level, R"({"log_level":"Info"})", "info"}, {level, R"({"log_level":3})", "info"}, {level, R"([])", "info"},
        {iface, R"({})", "wt0"}, {iface, R"({"interface_name":"abcdefghijklmno"})", "abcdefghijklmno"},
        {iface, R"({"interface_name":"abcdefghijklmnop"})", "wt0"}, {iface, R"({"interface_name":"eth0.100"})", "wt0"},
        {iface, R"({"interface_name":5})", "wt0"}, {iface, R"("wg0")", "wt0"},
        {ipmap, R"({"external_ip_map":"x y"})", "x y"}, {ipmap, R"({"external_ip_map":5})", ""},
        {url, R"({"management_url":5})", ""}, {url, R"({"management_url":"https://m"})", "https://m"},
    };
    for (const auto& c : texts) EXPECT_EQ(c.read(json::parse(c.config)), c.expected) << c.config;
    for (const char* config : {R"({})", R"({"watchdog_enabled":"false"})", R"({"watchdog_enabled":0})", R"([false])"})
        EXPECT_TRUE(cu::read_watchdog_enabled(json::parse(config))) << config;
    EXPECT_FALSE(cu::read_watchdog_enabled(json::parse(R"({"watchdog_enabled":false})")));
    // A stored URL NetBird refuses is kept as it is, and named as a problem.
    EXPECT_NE(cu::management_url_problem(json::parse(R"({"management_url":"ftp://x"})")), "");
    for (const char* config : {R"({})", R"({"management_url":""})", R"({"management_url":"http://m"})"})
        EXPECT_EQ(cu::management_url_problem(json::parse(config)), "") << config;
}
