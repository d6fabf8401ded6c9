// NetBird command lines and the environment NetBird processes get.

#include "netbird/child_process.hpp"
#include "netbird/command_lines.hpp"
#include "settings/env_overrides.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using strings = std::vector<std::string>;
using form = std::map<std::string, std::string>;
namespace cl = command_lines;

namespace {

const strings PREFIX = {"/app/lib/netbird", "--log-file", "/d/client.log", "--daemon-addr", "unix:///d/my sock"};

}  // namespace

// Defaults, stored values out of range or type (an empty URL too) falling back as when read; never the key.
TEST(UpArgs, DefaultsAndTunnelOptionsFollowTheReadTimeRules) {
    const nlohmann::json bad = {{"wireguard_port", 51821}, {"mtu", 9000}, {"interface_name", "eth0.100"},
                                {"external_ip_map", "1.2.3.4/5.6.7.8"}, {"management_url", ""}};
    const std::string fallback = "https://api.netbird.io:443";
    const struct { nlohmann::json settings; std::string url; const char* port; const char* ip_map; } cases[] = {
        {nlohmann::json::array({1}), fallback, "51820", ""}, {bad, fallback, "51821", "1.2.3.4/5.6.7.8"},
        {{{"management_url", "https://m.example"}, {"mtu", "1400"}}, "https://m.example", "51820", ""}};
    for (const auto& c : cases) {
        strings expected = PREFIX;  // a socket path with a blank stays one element
        expected.insert(expected.end(), {"up", "--management-url", c.url, "--wireguard-port", c.port, "--mtu", "1280",
                                         "--interface-name", "wt0", "--external-ip-map", c.ip_map});
        EXPECT_EQ(cl::build_up_args(PREFIX, c.settings, {{"setup_key", "never-on-the-line"}}), expected);
    }
    const auto flag_of = [](const form& fields) {
        const strings args = cl::build_up_args(PREFIX, nlohmann::json::object(), fields);
        return args.size() == 17 ? args[8] : std::string("(none)");
    };
    EXPECT_EQ(flag_of({}), "(none)");
    EXPECT_EQ(flag_of({{"enable_lazy_connection", "true"}}), "--enable-lazy-connection=true");
    for (const char* value : {"false", "yes", "TRUE", "1", ""})
        EXPECT_EQ(flag_of({{"enable_lazy_connection", value}}), "--enable-lazy-connection=false") << value;
    // What the tunnel runs with, read back from the line: an override given after ours wins, as in NetBird.
    strings line = cl::build_up_args(PREFIX, {{"mtu", 1380}}, {});
    line.insert(line.end(), {"--mtu=1400", "--wireguard-port", "0x10", "--interface-name"});
    EXPECT_EQ(cl::applied_settings(line),
              (nlohmann::json{{"external_ip_map", ""}, {"interface_name", "wt0"},
                              {"management_url", "https://api.netbird.io:443"}, {"mtu", 1400}, {"wireguard_port", "0x10"}}));
}

TEST(CommandEnvironment, InheritedThenSystemThenOverridesAndOnlyOurDaemonRecognised) {
    const auto additions = env_overrides::compose_command_env(
        {{"NB_USE_NETSTACK_MODE", "true"}, {"NB_LOG_MAX_SIZE_MB", "5"}, {"NB_STATE_DIR", "/d"}},
        {{"NB_USE_NETSTACK_MODE", "false"}, {"NB_FORCE_RELAY", "true"}});
    EXPECT_EQ(additions, (form{{"NB_FORCE_RELAY", "true"}, {"NB_LOG_MAX_SIZE_MB", "5"}, {"NB_STATE_DIR", "/d"},
                               {"NB_USE_NETSTACK_MODE", "false"}}));

    // Inherited entries stay unless replaced; a name is a prefix up to "=", so NB_FORCE_RELAY_X is not NB_FORCE_RELAY.
    const char* inherited[] = {"NB_LOG_MAX_SIZE_MB=99", "KEPT=1", "NB_FORCE_RELAY=inherited",
                               "NB_FORCE_RELAY_X=2", "NOEQUALS", nullptr};
    EXPECT_EQ(child_process::compose_environ(inherited, additions),
              (strings{"KEPT=1", "NB_FORCE_RELAY_X=2", "NOEQUALS", "NB_FORCE_RELAY=true", "NB_LOG_MAX_SIZE_MB=5",
                       "NB_STATE_DIR=/d", "NB_USE_NETSTACK_MODE=false"}));
    const struct { strings argv; const char* shown; } lines[] = {
        {{"nb", "up", "--setup-key", "K"}, "nb up --setup-key <redacted>"}, {{"nb", "up", "--setup-key"}, "nb up --setup-key"},
        {{"nb", "--setup-key", "A", "up", "--setup-key", "B"}, "nb --setup-key <redacted> up --setup-key <redacted>"},
        {{"nb", "up", "--setup-key-file", "/d/k"}, "nb up --setup-key-file /d/k"}, {{}, ""},
        {{"nb", "--management-url", "https://x\n[E] y"}, "nb --management-url https://x\\n[E] y"}};
    for (const auto& l : lines) EXPECT_EQ(cl::render_command_line(l.argv), l.shown);
    const std::string exe = "/app/lib/netbird", addr = "unix:///app/localdata/netbird.sock";
    const struct { strings argv; bool ours; } cases[] = {
        {{exe, "--config", "c", "--daemon-addr", addr, "service", "run"}, true},
        {{"/usr/bin/python3", exe, "--daemon-addr", addr, "service", "run"}, true},  // a script's interpreter
        {{exe, "--daemon-addr=" + addr, "service", "run"}, true},
        {{exe, "--daemon-addr", addr, "status"}, false}, {{exe, "--daemon-addr", "unix:///other.sock", "service", "run"}, false},
        {{"/other/netbird", "--daemon-addr", addr, "service", "run"}, false}, {{"sleep", "100"}, false}, {{}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(cl::is_daemon_command_line(c.argv, exe, addr), c.ours) << c.argv.size();
}
