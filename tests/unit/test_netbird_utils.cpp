#include "netbird_utils.hpp"

#include <gtest/gtest.h>

namespace nb = netbird_utils;
using opt = std::optional<std::string>;

// Ranges and the common cases are covered through the settings rules; these are the leftovers.
TEST(TunnelOptions, Validators) {
    for (const char* bad : {"a.b", "1.2.3.4;5", "1-2"}) EXPECT_FALSE(nb::is_valid_external_ip_map(bad)) << bad;
    for (const char* bad : {"", "wt 0", "w\xc3\xa9", "wt0\n"}) EXPECT_FALSE(nb::is_valid_interface_name(bad)) << bad;
    EXPECT_TRUE(nb::is_valid_external_ip_map(""));
    EXPECT_TRUE(nb::is_valid_interface_name("Az09_-"));
}

// Classes: 'v' valid syntax, 'p' protected, 'f' passed as a flag, 's' secret.
TEST(EnvKeys, SyntaxAndRefusedClasses) {
    const struct { const char* key; std::string classes; } cases[] = {
        {"NB_", "v"}, {"NB", ""}, {"nb_log_level", ""}, {"NB-LOG", ""}, {"HOME", ""}, {"NB_LOG.LEVEL", ""},
        {"NB_log", ""}, {"XNB_A", ""}, {"NB_LOG_LEVEL", "v"}, {"NB_USE_NETSTACK_MODE", "v"}, {"NB_CONFIG", "vp"},
        {"NB_STATE_DIR", "vp"}, {"NB_MANAGEMENT_URL", "vp"}, {"NB_CONFIG_DIR", "v"}, {"NB_WIREGUARD_PORT", "vf"},
        {"NB_INTERFACE_NAME", "vf"}, {"NB_MTU", "vf"}, {"NB_EXTERNAL_IP_MAP", "vf"}, {"NB_MTU_X", "v"},
        {"NB_SETUP_KEY", "vs"}, {"NB_PRESHARED_KEY", "vs"}, {"NB_API_TOKEN", "vs"}, {"NB_CLIENT_SECRET", "vs"},
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

TEST(CommandLine, SetupKeyValueIsRedacted) {
    using args = std::vector<std::string>;
    EXPECT_EQ(nb::render_command_line(args{"nb", "up", "--setup-key", "K"}), "nb up --setup-key <redacted>");
    EXPECT_EQ(nb::render_command_line(args{"nb", "--setup-key", "A", "up", "--setup-key", "B"}),
              "nb --setup-key <redacted> up --setup-key <redacted>");
    EXPECT_EQ(nb::render_command_line(args{"nb", "up", "--setup-key"}), "nb up --setup-key");
    EXPECT_EQ(nb::render_command_line(args{"nb", "up", "--setup-key-file", "/d/k"}), "nb up --setup-key-file /d/k");
    EXPECT_EQ(nb::render_command_line(args{}), "");
}

TEST(StatusOutput, ManagementConnected) {
    const struct { const char* output; std::optional<bool> expected; } cases[] = {
        {R"({"management":{"connected":false}})", false}, {R"( {"peers":[],"management":{"connected":true}} )", true},
        {R"({})", std::nullopt}, {"not json", std::nullopt}, {R"({"management":{"connected":"true"}})", std::nullopt},
        {R"({"management":true})", std::nullopt}, {R"([{"management":{"connected":true}}])", std::nullopt},
        {R"({"management":{"connected":true}} trailing)", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(nb::parse_management_connected(c.output), c.expected) << c.output;
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
