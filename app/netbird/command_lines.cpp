#include "netbird/command_lines.hpp"

#include "core/text_utils.hpp"
#include "netbird/tunnel_options.hpp"
#include "settings/config_utils.hpp"

#include <cstddef>
#include <utility>

namespace command_lines {

std::vector<std::string> build_up_args(std::vector<std::string> cli_prefix, const nlohmann::json& settings,
                                       const std::map<std::string, std::string>& form) {
    std::vector<std::string> args = std::move(cli_prefix);
    args.emplace_back("up");
    std::string management_url = config_utils::read_management_url(settings);
    if (management_url.empty()) management_url = std::string(tunnel_options::NETBIRD_DEFAULT_MANAGEMENT_URL);
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

nlohmann::json applied_settings(const std::vector<std::string>& up_args) {
    static const std::map<std::string, std::string, std::less<>> names = {
        {"--management-url", "management_url"}, {"--wireguard-port", "wireguard_port"}, {"--mtu", "mtu"},
        {"--interface-name", "interface_name"}, {"--external-ip-map", "external_ip_map"}};
    nlohmann::json out = nlohmann::json::object();
    for (std::size_t i = 0; i < up_args.size(); ++i) {
        const std::string& arg = up_args[i];
        const auto eq = arg.find('=');
        const auto name = names.find(arg.substr(0, eq));
        if (name == names.end()) continue;
        std::string value;
        if (eq != std::string::npos) value = arg.substr(eq + 1);
        else if (i + 1 < up_args.size()) value = up_args[++i];
        else break;
        const bool number = name->second == "mtu" || name->second == "wireguard_port";
        const auto as_int = number ? text_utils::parse_int(value) : std::nullopt;
        if (as_int && std::to_string(*as_int) == value) out[name->second] = *as_int;
        else out[name->second] = value;
    }
    return out;
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

}  // namespace command_lines
