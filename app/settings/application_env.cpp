// NetBird environment overrides (env.json) and the environment of every
// NetBird process.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "settings/env_overrides.hpp"
#include "core/text_utils.hpp"
#include "diagnostics/debug_bundle_output.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <tuple>

#include <pwd.h>
#include <unistd.h>

namespace {

// The process's plumbing (who it runs as, where it keeps files), not NetBird
// settings: applied to NetBird, not listed.
constexpr std::array<const char*, 5> HIDDEN_SYSTEM_KEYS = {"HOME", "XDG_CONFIG_HOME", "USER", "LOGNAME", "TMPDIR"};
// Room for one passwd entry's strings.
constexpr std::size_t PASSWD_BUFFER_BYTES = 4096;

struct env_preset {
    const char* name;
    const char* description;
    const char* default_value;
};

constexpr std::array<env_preset, 3> ENV_PRESETS = {{
    {"NB_LOG_LEVEL", "Set NetBird log level.", "info"},
    {"NB_FORCE_RELAY", "Force relay connections.", "true"},
    // NetBird reads it as a whole number of minutes ("15m" is ignored).
    {"NB_LAZY_CONN_INACTIVITY_THRESHOLD", "Idle minutes before a lazy connection closes.", "15"},
}};

constexpr const char* REDACTED = "<redacted>";

bool is_hidden_system_key(const std::string& name) {
    return std::find(HIDDEN_SYSTEM_KEYS.begin(), HIDDEN_SYSTEM_KEYS.end(), name) != HIDDEN_SYSTEM_KEYS.end();
}

// An override's value as the API shows it: a secret's (a pre-shared key, a
// token) is never sent back, only that it is set (null).
nlohmann::json shown_value(const std::string& name, const std::string& value) {
    if (env_overrides::is_secret_env_key(name)) return nullptr;
    return value;
}

// The effective user's name from the user database, or empty when it has no
// entry there (an application's user often has none).
std::string own_user_name() {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::array<char, PASSWD_BUFFER_BYTES> buffer{};
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return {};
    return found->pw_name;
}

nlohmann::json shown_overrides(const std::map<std::string, std::string>& overrides) {
    nlohmann::json shown = nlohmann::json::object();
    for (const auto& [name, value] : overrides) shown[name] = shown_value(name, value);
    return shown;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> application::system_env() const {
    const std::string data_dir = m_data_dir.string();
    // NetBird's `up` needs to know its user: a static build reads /etc/passwd
    // and, failing that, $USER and $HOME.
    std::string user = own_user_name();
    if (user.empty()) user = m_app_name;
    return {
        {"NB_USE_NETSTACK_MODE", "true"},
        {"NB_ENABLE_NETSTACK_LOCAL_FORWARDING", "true"},
        {"NB_LOG_MAX_SIZE_MB", "5"},
        {"HOME", data_dir},
        {"XDG_CONFIG_HOME", data_dir},
        {"NB_STATE_DIR", data_dir},
        {"USER", user},
        {"LOGNAME", user},
        // The daemon writes debug archives there: a folder this application
        // owns and sweeps, since a command killed at its limit never names them.
        {"TMPDIR", (m_data_dir / debug_bundle_output::TEMPORARY_DIR).string()},
    };
}

std::vector<std::string> application::tunnel_flags() const {
    auto flags = build_up_args({});
    std::lock_guard<std::mutex> lock(m_env_mutex);
    const auto overridden = env_overrides::up_flag_overrides(m_env_overrides);
    flags.insert(flags.end(), overridden.begin(), overridden.end());
    return flags;
}

std::map<std::string, std::string> application::build_command_env() const {
    std::map<std::string, std::string> overrides;
    {
        std::lock_guard<std::mutex> lock(m_env_mutex);
        overrides = m_env_overrides;
    }
    return env_overrides::compose_command_env(system_env(), overrides);
}

void application::api_env_get(const response_ptr& res, request&) {
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& [name, value] : system_env()) {
        if (is_hidden_system_key(name)) continue;
        entries.push_back({{"name", name}, {"value", value}, {"system", true}});
    }
    std::map<std::string, std::string> overrides;
    {
        std::lock_guard<std::mutex> lock(m_env_mutex);
        overrides = m_env_overrides;
    }
    for (const auto& [name, value] : overrides) {
        nlohmann::json entry = {{"name", name}, {"value", shown_value(name, value)}, {"system", false}};
        if (env_overrides::is_secret_env_key(name)) entry["secret"] = true;
        entries.push_back(std::move(entry));
    }
    nlohmann::json presets = nlohmann::json::array();
    for (const auto& preset : ENV_PRESETS) {
        presets.push_back(
            {{"name", preset.name}, {"description", preset.description}, {"default_value", preset.default_value}});
    }
    write_json(res, api_json::compact({{"entries", entries}, {"presets", presets}}), "200 OK", false);
}

void application::api_env_set(const response_ptr& res, request&) {
    collect_body(res, [this, res](const std::string& body) {
        const auto form = text_utils::parse_form(body);
        const auto name_it = form.find("name");
        const std::string name = name_it == form.end() ? std::string{} : name_it->second;
        const auto value_it = form.find("value");
        const bool setting = value_it != form.end() && !value_it->second.empty();
        std::string refusal;
        if (name.empty()) refusal = "Missing env name";
        else refusal = env_overrides::env_key_refusal(name);
        if (refusal.empty() && setting) refusal = env_overrides::env_value_refusal(name, value_it->second);
        if (!refusal.empty()) {
            write_json(res, api_json::error_json(refusal), "400 Bad Request", false);
            return;
        }
        // The change is made on a copy: it is kept only once it is on the flash.
        std::map<std::string, std::string> updated;
        {
            std::lock_guard<std::mutex> lock(m_env_mutex);
            updated = m_env_overrides;
        }
        const auto existing = updated.find(name);
        const bool present = existing != updated.end();
        if (setting && !present && updated.size() >= env_overrides::MAX_ENV_OVERRIDES) {
            write_json(res, api_json::error_json("At most 64 env overrides are allowed"), "400 Bad Request", false);
            return;
        }
        const bool changed = setting && (!present || existing->second != value_it->second);
        const bool removed = !setting && present;
        if (setting) updated[name] = value_it->second;
        else if (present) updated.erase(existing);
        if (!write_json_file(m_env_path, nlohmann::json(updated))) {
            write_json(res, api_json::error_json("Could not save the env overrides"), "500 Internal Server Error",
                       false);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_env_mutex);
            m_env_overrides = updated;
        }
        if (removed || changed)
            record("environment", (removed ? "Environment override removed: " : "Environment override set: ") + name,
                   {{"key", name}, {"action", removed ? "removed" : "set"}});
        if (removed) {
            spdlog::info("NetBird env override removed: {}", name);
        } else if (changed) {
            // Overrides may carry credentials (tokens, pre-shared keys): never log those values.
            spdlog::info("NetBird env override set: {}={}", name,
                         env_overrides::is_secret_env_key(name) ? std::string(REDACTED)
                                                                 : text_utils::escape_for_log(value_it->second));
        }
        // A flag of `up` reaches NetBird at the next connect (the status's
        // pending_reconnect says when that is due); anything else is read by
        // the daemon when it starts.
        const bool at_connect = env_overrides::is_up_flag_env_key(name);
        const bool restart = service_running() && !at_connect;
        if (restart && (removed || changed)) m_pending_restart.store(true, std::memory_order_release);
        write_json(res,
                   api_json::compact({{"applies_at", at_connect ? "next_connect" : "restart"},
                                      {"env", shown_overrides(updated)},
                                      {"ok", true},
                                      {"restart_required", restart}}),
                   "200 OK", false);
    });
}
