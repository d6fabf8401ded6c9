// Argument vectors of every NetBird invocation.

#include "core/application.hpp"

#include "netbird/command_lines.hpp"

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
    return command_lines::build_up_args(base_args_cli(), m_app_config, form);
}
