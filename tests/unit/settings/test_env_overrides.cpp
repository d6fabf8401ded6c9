#include "settings/env_overrides.hpp"

#include <gtest/gtest.h>

namespace eo = env_overrides;

// Classes: 'v' valid syntax, 'p' protected, 'f' passed as a flag, 's' secret.
TEST(EnvKeys, SyntaxAndRefusedClasses) {
    const struct { const char* key; std::string classes; } cases[] = {
        {"NB_", "v"}, {"NB", ""}, {"nb_log_level", ""}, {"NB-LOG", ""}, {"HOME", ""}, {"NB_LOG.LEVEL", ""},
        {"NB_log", ""}, {"XNB_A", ""}, {"NB_LOG_LEVEL", "v"}, {"NB_USE_NETSTACK_MODE", "v"}, {"NB_CONFIG", "vp"},
        {"NB_STATE_DIR", "vp"}, {"NB_MANAGEMENT_URL", "vp"}, {"NB_CONFIG_DIR", "v"}, {"NB_WIREGUARD_PORT", "vf"},
        {"NB_INTERFACE_NAME", "vf"}, {"NB_MTU", "vf"}, {"NB_EXTERNAL_IP_MAP", "vf"}, {"NB_MTU_X", "v"},
        {"NB_DAEMON_ADDR", "vp"}, {"NB_LOG_FILE", "vp"}, {"NB_SETUP_KEY", "vs"}, {"NB_PRESHARED_KEY", "vs"}, {"NB_API_TOKEN", "vs"}, {"NB_CLIENT_SECRET", "vs"},
        {"NB_PASSWORD", "vs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(eo::is_valid_env_key(c.key), c.classes.find('v') != std::string::npos);
        EXPECT_EQ(eo::is_protected_env_key(c.key), c.classes.find('p') != std::string::npos);
        EXPECT_EQ(eo::is_flag_mapped_env_key(c.key), c.classes.find('f') != std::string::npos);
        EXPECT_EQ(eo::is_secret_env_key(c.key), c.classes.find('s') != std::string::npos);
    }
    EXPECT_EQ(eo::env_key_refusal("NB_LOG_LEVEL"), "");
    EXPECT_EQ(eo::env_key_refusal("NB_setup"), "Invalid env key");
    EXPECT_EQ(eo::env_key_refusal("NB_LOG_FILE"), "Env key is read-only");
    EXPECT_EQ(eo::env_key_refusal("NB_MTU"), "Use Tunnel settings for this NetBird flag");
    EXPECT_EQ(eo::env_key_refusal("NB_SETUP_KEY_FILE"), "A setup key is given once when enrolling, never stored");
    EXPECT_NE(eo::env_key_refusal("NB_ENABLE_LAZY_CONNECTION"), "");
    // These wedge the daemon: idle at every start, a connect that never ends, another configuration.
    for (const char* key : {"NB_DISABLE_AUTO_CONNECT", "NB_FOREGROUND_MODE", "NB_PROFILE"})
        EXPECT_NE(eo::env_key_refusal(key), "") << key;
    // up's own flags reach NetBird at the next connect, in key order; the daemon's do not.
    EXPECT_EQ(eo::up_flag_overrides({{"NB_LOG_LEVEL", "debug"}, {"NB_NETWORK_MONITOR", "false"},
                                     {"NB_BLOCK_INBOUND", "true"}, {"NB_HOSTNAME", "cam"}}),
              (std::vector<std::string>{"NB_BLOCK_INBOUND=true", "NB_NETWORK_MONITOR=false"}));
    for (const char* level : {"debug", "WARN", "Warning", "trace", "panic"})
        EXPECT_EQ(eo::env_value_refusal("NB_LOG_LEVEL", level), "") << level;
    for (const char* level : {"verbose", "", "info "}) EXPECT_NE(eo::env_value_refusal("NB_LOG_LEVEL", level), "") << level;
    EXPECT_EQ(eo::env_value_refusal("NB_OTHER", "verbose"), "");
    EXPECT_EQ(eo::env_value_refusal("NB_OTHER", std::string(4097, 'x')), "Env value must be at most 4096 bytes");
    std::map<std::string, std::string> loaded = {{"NB_MTU", "1400"}, {"NB_CONFIG", "/x"}, {"HOME", "/h"},
                                                 {"NB_BIG", std::string(4097, 'x')}, {"NB_OK", std::string(4096, 'x')},
                                                 {"NB_SETUP_KEY", "k"}, {"NB_LOG_LEVEL", "verbose"},
                                                 {"NB_PROFILE", "other"}};
    for (int i = 0; i < 70; ++i) loaded["NB_Z" + std::to_string(100 + i)] = "v";
    EXPECT_TRUE(eo::drop_unloadable_overrides(loaded));
    EXPECT_EQ(loaded.size(), eo::MAX_ENV_OVERRIDES);
    EXPECT_EQ(loaded.count("HOME") + loaded.count("NB_OK"), 2u);  // the load applies no syntax rule
    EXPECT_EQ(loaded.count("NB_MTU") + loaded.count("NB_CONFIG") + loaded.count("NB_BIG") +
                  loaded.count("NB_SETUP_KEY") + loaded.count("NB_LOG_LEVEL") + loaded.count("NB_PROFILE"), 0u);
    EXPECT_EQ(loaded.rbegin()->first, "NB_Z161");  // the first 64 in key order stay
    EXPECT_FALSE(eo::drop_unloadable_overrides(loaded));
}
