// The API's route table and its JSON answers.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "api/request_origin.hpp"

#include <spdlog/spdlog.h>

namespace {

constexpr const char* API_SUFFIX = "/api/vpn";
// At most one warning about refused cross-site requests in this time.
constexpr auto CROSS_SITE_WARNING_INTERVAL = std::chrono::seconds(60);

// Whether a route changes something (every POST, and a GET that costs the
// camera work and flash): those are refused to other sites' pages. A route
// that runs a NetBird command is also refused while a sign-in waits for its
// person: a down or a restart would end the wait, another up would wait behind it.
enum class effect { reads, changes, commands };

}  // namespace

void application::setup_routes(httpd::router& routes) {
    const std::string prefix = "/local/" + m_app_name + API_SUFFIX;
    using member = void (application::*)(const response_ptr&, request&);
    const auto add = [&](const char* method, const char* suffix, member handler, effect what) {
        routes.add(method, prefix + suffix, [this, handler, what](const response_ptr& res, request& req) {
            if (what != effect::reads && refuse_foreign_request(res, req)) return;
            if (what == effect::commands && refuse_during_sign_in(res)) return;
            (this->*handler)(res, req);
        });
    };
    const auto reads = effect::reads;
    const auto changes = effect::changes;
    const auto commands = effect::commands;
    add("GET", "/status", &application::api_status, reads);
    add("POST", "/up", &application::api_up, commands);
    add("POST", "/down", &application::api_down, commands);
    add("POST", "/restart", &application::api_restart, commands);
    add("POST", "/reconnect", &application::api_reconnect, commands);
    add("POST", "/deregister", &application::api_deregister, commands);
    add("POST", "/login", &application::api_login, changes);
    add("POST", "/login/cancel", &application::api_login_cancel, changes);
    add("GET", "/env", &application::api_env_get, reads);
    add("POST", "/env", &application::api_env_set, changes);
    add("GET", "/config", &application::api_config_get, reads);
    add("POST", "/config", &application::api_config_set, changes);
    add("GET", "/logs/tail", &application::api_logs_tail, reads);
    add("GET", "/logs/list", &application::api_logs_list, reads);
    add("GET", "/logs/download", &application::api_logs_download, reads);
    add("GET", "/storage", &application::api_storage, reads);
    add("GET", "/debug-bundle", &application::api_debug_bundle, commands);
    add("POST", "/debug-bundle/upload", &application::api_debug_bundle_upload, commands);
    add("POST", "/iperf/server/start", &application::api_iperf_start, changes);
    add("POST", "/iperf/server/stop", &application::api_iperf_stop, changes);
    add("GET", "/iperf/server/status", &application::api_iperf_status, reads);
    add("GET", "/history", &application::api_history, reads);
}

bool application::refuse_foreign_request(const response_ptr& res, const request& req) {
    const std::string refusal = request_origin::cross_site_refusal(req.marks);
    if (!refusal.empty()) {
        ++m_cross_site_refusals;
        const auto now = std::chrono::steady_clock::now();
        if (!m_cross_site_warned_at || now - *m_cross_site_warned_at >= CROSS_SITE_WARNING_INTERVAL) {
            // The path is ours (it matched a route); the headers' values are not logged.
            spdlog::warn("Refused {} cross-site request(s), the last {} {}: {}", m_cross_site_refusals, req.method,
                         req.path(), refusal);
            m_cross_site_warned_at = now;
            m_cross_site_refusals = 0;
        }
        write_json(res, api_json::error_json(refusal), "403 Forbidden", true);
        return true;
    }
    if (req.method == "POST" && req.marks.has_body && !request_origin::is_form_content_type(req.marks.content_type)) {
        write_json(res, api_json::error_json("Content-Type must be application/x-www-form-urlencoded"),
                   "415 Unsupported Media Type", true);
        return true;
    }
    return false;
}

void application::write_json(const response_ptr& res, std::string_view body, const char* status,
                             bool no_store) const {
    res->write_status(status);
    res->write_header("Content-Type", "application/json");
    if (no_store) res->write_header("Cache-Control", "no-store");
    res->end(body);  // copied into the handle's own buffer, which is reused
}

void application::collect_body(const response_ptr& res, std::function<void(const std::string& body)> on_complete) {
    // A client that leaves mid-body never reaches on_complete.
    auto body = std::make_shared<std::string>();
    auto rejected = std::make_shared<bool>(false);
    res->on_data([res, body, rejected, on_complete = std::move(on_complete)](std::string_view chunk, bool last) {
        if (!api_json::accumulate_body(*body, chunk, *rejected, res) || !last) return;
        on_complete(*body);
    });
}
