// Settings in app.json: effective values and the GET/POST /config endpoints.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "settings/config_utils.hpp"
#include "core/text_utils.hpp"

#include <spdlog/spdlog.h>

int application::wireguard_port() const { return config_utils::read_wireguard_port(m_app_config); }
std::string application::external_ip_map() const { return config_utils::read_external_ip_map(m_app_config); }
int application::mtu() const { return config_utils::read_mtu(m_app_config); }
std::string application::interface_name() const { return config_utils::read_interface_name(m_app_config); }
bool application::watchdog_enabled() const { return config_utils::read_watchdog_enabled(m_app_config); }
int application::watchdog_timeout_seconds() const { return config_utils::read_watchdog_timeout(m_app_config); }
int application::log_retention_days() const { return config_utils::parse_retention_days(m_app_config); }

std::string application::build_config_json() const {
    return api_json::compact({
        {"external_ip_map", external_ip_map()},
        {"interface_name", interface_name()},
        {"log_level", log_level()},
        {"log_retention_days", log_retention_days()},
        {"management_url", config_utils::read_management_url(m_app_config)},
        {"mtu", mtu()},
        {"watchdog_enabled", watchdog_enabled()},
        {"watchdog_timeout", watchdog_timeout_seconds()},
        {"wireguard_port", wireguard_port()},
    });
}

const std::string& application::config_report() const {
    // Comparing the few stored members costs far less than building and
    // serialising the report, and no change can be missed.
    if (!m_config_report || m_config_report_source != m_app_config) {
        m_config_report_source = m_app_config;
        m_config_report = build_config_json();
    }
    return *m_config_report;
}

void application::api_config_get(const response_ptr& res, request&) {
    write_json(res, config_report(), "200 OK", false);
}

void application::api_config_set(const response_ptr& res, request&) {
    collect_body(res, [this, res](const std::string& body) {
        const auto form = text_utils::parse_form(body);
        const auto name_it = form.find("name");
        if (name_it == form.end() || name_it->second.empty()) {
            write_json(res, api_json::error_json("Missing config name"), "400 Bad Request", false);
            return;
        }
        const std::string& name = name_it->second;
        if (!config_utils::is_valid_config_key(name)) {
            write_json(res, api_json::error_json("Invalid config key"), "400 Bad Request", false);
            return;
        }
        // The change is made on a copy: it is kept only once it is on the flash.
        nlohmann::json updated = m_app_config.is_object() ? m_app_config : nlohmann::json::object();
        const auto value_it = form.find("value");
        const bool setting = value_it != form.end() && !value_it->second.empty();
        bool changed = false;
        if (setting) {
            const std::string& value = value_it->second;
            const std::string refusal = config_utils::validate_config_value(name, value);
            if (!refusal.empty()) {
                write_json(res, api_json::error_json(refusal), "400 Bad Request", false);
                return;
            }
            const nlohmann::json stored = config_utils::coerce_config_value(name, value);
            const auto existing = updated.find(name);
            changed = existing == updated.end() || *existing != stored;
            updated[name] = stored;
        } else {
            changed = updated.erase(name) > 0;
        }
        // What NetBird holds must be on record before the settings move away from it.
        if (!m_tunnel_state_stored) store_tunnel_state();
        if (!write_json_file(m_app_config_path, updated)) {
            write_json(res, api_json::error_json("Could not save the settings"), "500 Internal Server Error", false);
            return;
        }
        m_app_config = std::move(updated);
        if (changed && setting) spdlog::info("App setting changed: {}={}", name, text_utils::escape_for_log(value_it->second));
        if (changed && !setting) spdlog::info("App setting reset: {}", name);
        if (changed) record("settings", (setting ? "Setting changed: " : "Setting reset: ") + name,
                            {{"key", name}, {"action", setting ? "set" : "reset"}});
        if (name == "log_retention_days") prune_daily_logs(config_utils::parse_retention_days(m_app_config));
        if (name == "log_level") apply_log_level(config_utils::parse_log_level(m_app_config));
        write_json(res, config_report(), "200 OK", false);
    });
}
