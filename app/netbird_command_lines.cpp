// Argument vectors of every NetBird invocation.

#include "application.hpp"

#include "config_utils.hpp"
#include "netbird_utils.hpp"

std::vector<std::string> application::base_args_cli() const {
    return {m_netbird_path.string(), "--log-file", m_log_path.string(), "--daemon-addr",
            "unix://" + m_socket_path.string()};
}

std::vector<std::string> application::base_args_service() const {
    return {m_netbird_path.string(), "--config",      m_config_path.string(),
            "--log-file",           "console," + m_log_path.string(), "--daemon-addr",
            "unix://" + m_socket_path.string()};
}

std::vector<std::string> application::build_up_args(const form_map& form) const {
    std::vector<std::string> args = base_args_cli();
    args.emplace_back("up");
    std::string management_url = config_utils::read_management_url(m_app_config);
    if (management_url.empty()) management_url = std::string(netbird_utils::NETBIRD_DEFAULT_MANAGEMENT_URL);
    args.emplace_back("--management-url");
    args.push_back(management_url);
    if (const auto lazy = form.find("enable_lazy_connection"); lazy != form.end())
        args.emplace_back(lazy->second == "true" ? "--enable-lazy-connection=true" : "--enable-lazy-connection=false");
    args.emplace_back("--wireguard-port");
    args.push_back(std::to_string(wireguard_port()));
    args.emplace_back("--mtu");
    args.push_back(std::to_string(mtu()));
    args.emplace_back("--interface-name");
    args.push_back(interface_name());
    args.emplace_back("--external-ip-map");
    args.push_back(external_ip_map());
    return args;
}
