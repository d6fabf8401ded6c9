#include "netbird_utils.hpp"

#include "config_utils.hpp"
#include "text_utils.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <functional>

namespace netbird_utils {
namespace {

constexpr std::array<std::string_view, 3> PROTECTED_KEYS = {"NB_CONFIG", "NB_STATE_DIR", "NB_MANAGEMENT_URL"};
constexpr std::array<std::string_view, 4> FLAG_MAPPED_KEYS = {"NB_WIREGUARD_PORT", "NB_INTERFACE_NAME", "NB_MTU",
                                                              "NB_EXTERNAL_IP_MAP"};
constexpr std::array<std::string_view, 4> SECRET_MARKERS = {"KEY", "TOKEN", "SECRET", "PASSWORD"};
constexpr std::size_t MAX_INTERFACE_NAME = 15;

std::string_view trim(std::string_view line) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = line.find_last_not_of(blanks);
    return line.substr(first, last - first + 1);
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

bool drop_unloadable_overrides(std::map<std::string, std::string>& overrides) {
    bool removed = false;
    std::size_t kept = 0;
    for (auto it = overrides.begin(); it != overrides.end();) {
        const bool refused = is_protected_env_key(it->first) || is_flag_mapped_env_key(it->first) ||
                             it->second.size() > MAX_ENV_VALUE_BYTES || kept >= MAX_ENV_OVERRIDES;
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

std::optional<bool> parse_management_connected(const std::string& output) {
    const auto value = nlohmann::json::parse(output, nullptr, false);
    if (!value.is_object()) return std::nullopt;
    const auto management = value.find("management");
    if (management == value.end() || !management->is_object()) return std::nullopt;
    const auto connected = management->find("connected");
    if (connected == management->end() || !connected->is_boolean()) return std::nullopt;
    return connected->get<bool>();
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
