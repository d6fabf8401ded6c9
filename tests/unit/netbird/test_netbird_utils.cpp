#include "netbird/netbird_utils.hpp"
#include "netbird/status_report.hpp"

#include <gtest/gtest.h>

namespace nb = netbird_utils;
using opt = std::optional<std::string>;

// Ranges and the common cases are covered through the settings rules; these are the leftovers.
TEST(TunnelOptions, Validators) {
    for (const char* bad : {"a.b", "1.2.3.4;5", "1-2"}) EXPECT_FALSE(nb::is_valid_external_ip_map(bad)) << bad;
    for (const char* bad : {"", "wt 0", "w\xc3\xa9", "wt0\n"}) EXPECT_FALSE(nb::is_valid_interface_name(bad)) << bad;
    EXPECT_TRUE(nb::is_valid_external_ip_map(""));
    EXPECT_TRUE(nb::is_valid_interface_name("Az09_-"));
    // NetBird refuses these at every up: they must never be stored.
    for (const char* ok : {"", "1.2.3.4", "0.0.0.0/255.255.255.255", "1.2.3.4/10.0.0.2,5.6.7.8"})
        EXPECT_TRUE(nb::netbird_accepts_external_ip_map(ok)) << ok;
    for (const char* bad : {"1.2.3", "1.2.3.4,", ",1.2.3.4", "1.2.3.4,,5.6.7.8", "1.2.3.4/5.6.7.8/9.9.9.9",
                            "1.2.3.4/", "01.2.3.4", "256.1.1.1", "1.2.3.4.5", "1..3.4", "1.2.3.4/10"})
        EXPECT_FALSE(nb::netbird_accepts_external_ip_map(bad)) << bad;
}

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
        EXPECT_EQ(nb::is_valid_env_key(c.key), c.classes.find('v') != std::string::npos);
        EXPECT_EQ(nb::is_protected_env_key(c.key), c.classes.find('p') != std::string::npos);
        EXPECT_EQ(nb::is_flag_mapped_env_key(c.key), c.classes.find('f') != std::string::npos);
        EXPECT_EQ(nb::is_secret_env_key(c.key), c.classes.find('s') != std::string::npos);
    }
}

TEST(EnvKeys, RefusalsAndValues) {
    EXPECT_EQ(nb::env_key_refusal("NB_LOG_LEVEL"), "");
    EXPECT_EQ(nb::env_key_refusal("NB_setup"), "Invalid env key");
    EXPECT_EQ(nb::env_key_refusal("NB_LOG_FILE"), "Env key is read-only");
    EXPECT_EQ(nb::env_key_refusal("NB_MTU"), "Use Tunnel settings for this NetBird flag");
    EXPECT_EQ(nb::env_key_refusal("NB_SETUP_KEY_FILE"), "A setup key is given once when enrolling, never stored");
    EXPECT_NE(nb::env_key_refusal("NB_ENABLE_LAZY_CONNECTION"), "");
    for (const char* level : {"debug", "WARN", "Warning", "trace", "panic"})
        EXPECT_EQ(nb::env_value_refusal("NB_LOG_LEVEL", level), "") << level;
    for (const char* level : {"verbose", "", "info "}) EXPECT_NE(nb::env_value_refusal("NB_LOG_LEVEL", level), "") << level;
    EXPECT_EQ(nb::env_value_refusal("NB_OTHER", "verbose"), "");
    EXPECT_EQ(nb::env_value_refusal("NB_OTHER", std::string(4097, 'x')), "Env value must be at most 4096 bytes");
}

TEST(CommandLine, SetupKeyValueIsRedacted) {
    using args = std::vector<std::string>;
    EXPECT_EQ(nb::render_command_line(args{"nb", "up", "--setup-key", "K"}), "nb up --setup-key <redacted>");
    EXPECT_EQ(nb::render_command_line(args{"nb", "--setup-key", "A", "up", "--setup-key", "B"}),
              "nb --setup-key <redacted> up --setup-key <redacted>");
    EXPECT_EQ(nb::render_command_line(args{"nb", "up", "--setup-key"}), "nb up --setup-key");
    EXPECT_EQ(nb::render_command_line(args{"nb", "up", "--setup-key-file", "/d/k"}), "nb up --setup-key-file /d/k");
    EXPECT_EQ(nb::render_command_line(args{}), "");
    EXPECT_EQ(nb::render_command_line(args{"nb", "--management-url", "https://x\n[E] y"}),
              "nb --management-url https://x\\n[E] y");
}

TEST(StatusOutput, ManagementConnected) {
    const struct { const char* output; std::optional<bool> expected; } cases[] = {
        {R"({"management":{"connected":false}})", false}, {R"( {"peers":[],"management":{"connected":true}} )", true},
        {R"({})", std::nullopt}, {"not json", std::nullopt}, {R"({"management":{"connected":"true"}})", std::nullopt},
        {R"({"management":true})", std::nullopt}, {R"([{"management":{"connected":true}}])", std::nullopt},
        {R"({"management":{"connected":true}} trailing)", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto summary = status_report::summary_of(c.output);
        EXPECT_EQ(summary ? summary->management_connected : std::nullopt, c.expected) << c.output;
    }
}

TEST(StatusOutput, DaemonStateAndAnUpThatAppliedNothing) {
    const auto daemon_status = [](const char* output) {
        const auto summary = status_report::summary_of(output);
        return summary ? summary->daemon_status : std::nullopt;
    };
    EXPECT_EQ(daemon_status(R"({"daemonStatus":"NeedsLogin","management":{}})"), opt("NeedsLogin"));
    EXPECT_EQ(daemon_status(R"({"daemonStatus":7})"), std::nullopt);
    EXPECT_EQ(daemon_status("Error: failed to connect to daemon"), std::nullopt);
    EXPECT_TRUE(nb::is_unenrolled_state("NeedsLogin"));
    EXPECT_FALSE(nb::is_unenrolled_state("SessionExpired"));
    EXPECT_TRUE(nb::up_was_already_connected("Already connected\n"));
    EXPECT_FALSE(nb::up_was_already_connected("Connected\n"));
}

TEST(DebugBundleOutput, ArchivePathAndUploadKey) {
    const struct { const char* output; opt path; } paths[] = {
        {"Creating bundle\n\tLocal file: \r\n\t/tmp/a b.zip \r\ndone\n", "/tmp/a b.zip"},
        {"x\nLocal file:\n/tmp/b.zip", "/tmp/b.zip"}, {"Local file:\nLocal file:\n/x.zip", "/x.zip"},
        {"Local file:\n/a.zip\nLocal file:\n/b.zip\n", "/a.zip"}, {"Local file: /tmp/b.zip", std::nullopt},
        {"Local file:\ntmp/b.zip", std::nullopt}, {"Local file:\n/tmp/b.tar.gz", std::nullopt},
        {"Local file:\n\n/tmp/b.zip", std::nullopt}, {"Local file:\n.zip", std::nullopt},
        {"local file:\n/tmp/b.zip", std::nullopt}, {"/tmp/b.zip\nLocal file:", std::nullopt},
    };
    for (const auto& c : paths) EXPECT_EQ(nb::parse_debug_bundle_path(c.output), c.path) << c.output;
    const struct { const char* output; opt key; } keys[] = {
        {"Uploading\nUpload file key:\r\n\tK1 K2\r\nLocal file:\n/t.zip\n", "K1 K2"},
        {"Upload file key:\n\n", std::nullopt}, {"Upload file key:", std::nullopt},
        {"Upload file key:\n\nabc", std::nullopt}, {"Upload file key: abc", std::nullopt},
    };
    for (const auto& c : keys) EXPECT_EQ(nb::parse_debug_bundle_upload_key(c.output), c.key) << c.output;
}

TEST(DaemonCommandLine, OnlyOurDaemonIsRecognised) {
    using args = std::vector<std::string>;
    const std::string exe = "/app/lib/netbird", addr = "unix:///app/localdata/netbird.sock";
    const struct { args argv; bool ours; } cases[] = {
        {{exe, "--config", "c", "--daemon-addr", addr, "service", "run"}, true},
        {{"/usr/bin/python3", exe, "--daemon-addr", addr, "service", "run"}, true},  // a script's interpreter
        {{exe, "--daemon-addr=" + addr, "service", "run"}, true},
        {{exe, "--daemon-addr", addr, "status"}, false},
        {{exe, "--daemon-addr", "unix:///other.sock", "service", "run"}, false},
        {{"/other/netbird", "--daemon-addr", addr, "service", "run"}, false},
        {{"sleep", "100"}, false},
        {{}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(nb::is_daemon_command_line(c.argv, exe, addr), c.ours) << c.argv.size();
}

TEST(EnvOverrides, LoadKeepsOnlyWhatFitsTheEnvironment) {
    std::map<std::string, std::string> loaded = {{"NB_MTU", "1400"}, {"NB_CONFIG", "/x"}, {"HOME", "/h"},
                                                 {"NB_BIG", std::string(4097, 'x')}, {"NB_OK", std::string(4096, 'x')},
                                                 {"NB_SETUP_KEY", "k"}, {"NB_LOG_LEVEL", "verbose"}};
    for (int i = 0; i < 70; ++i) loaded["NB_Z" + std::to_string(100 + i)] = "v";
    EXPECT_TRUE(nb::drop_unloadable_overrides(loaded));
    EXPECT_EQ(loaded.size(), nb::MAX_ENV_OVERRIDES);
    EXPECT_EQ(loaded.count("HOME") + loaded.count("NB_OK"), 2u);  // the load applies no syntax rule
    EXPECT_EQ(loaded.count("NB_MTU") + loaded.count("NB_CONFIG") + loaded.count("NB_BIG") +
                  loaded.count("NB_SETUP_KEY") + loaded.count("NB_LOG_LEVEL"), 0u);
    EXPECT_EQ(loaded.rbegin()->first, "NB_Z161");  // the first 64 in key order stay
    EXPECT_FALSE(nb::drop_unloadable_overrides(loaded));
}
