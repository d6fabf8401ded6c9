// The API's route table and its JSON answers.

#include "core/application.hpp"

#include "api/api_json.hpp"

namespace {

constexpr const char* API_SUFFIX = "/api/vpn";

}  // namespace

void application::setup_routes(httpd::router& routes) {
    const std::string prefix = "/local/" + m_app_name + API_SUFFIX;
    using member = void (application::*)(const response_ptr&, request&);
    const auto add = [&](const char* method, const char* suffix, member handler) {
        routes.add(method, prefix + suffix, [this, handler](const response_ptr& res, request& req) {
            (this->*handler)(res, req);
        });
    };
    add("GET", "/status", &application::api_status);
    add("POST", "/up", &application::api_up);
    add("POST", "/down", &application::api_down);
    add("POST", "/restart", &application::api_restart);
    add("POST", "/reconnect", &application::api_reconnect);
    add("POST", "/deregister", &application::api_deregister);
    add("GET", "/env", &application::api_env_get);
    add("POST", "/env", &application::api_env_set);
    add("GET", "/config", &application::api_config_get);
    add("POST", "/config", &application::api_config_set);
    add("GET", "/logs/tail", &application::api_logs_tail);
    add("GET", "/logs/list", &application::api_logs_list);
    add("GET", "/logs/download", &application::api_logs_download);
    add("GET", "/storage", &application::api_storage);
    add("GET", "/debug-bundle", &application::api_debug_bundle);
    add("POST", "/debug-bundle/upload", &application::api_debug_bundle_upload);
    add("POST", "/iperf/server/start", &application::api_iperf_start);
    add("POST", "/iperf/server/stop", &application::api_iperf_stop);
    add("GET", "/iperf/server/status", &application::api_iperf_status);
    add("GET", "/history", &application::api_history);
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
