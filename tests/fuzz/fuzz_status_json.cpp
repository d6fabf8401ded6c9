// NetBird's status report as the supervisor reads it: any bytes are read without fault, and what it keeps of a
// report (the daemon's state, the management and signal connections, the peer counts) is what a plain reading of
// the whole document gives. GET /status answers what dumping the document with the supervisor's facts gives, and a
// page of it is JSON.

#include "netbird/status_report.hpp"
#include "api/status_view.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* name) {
    if (!object.is_object() || !object.contains(name)) return nullptr;
    return &object[name];
}

std::optional<status_report::status_summary> plain_reading(const std::string& text) {
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) return std::nullopt;
    status_report::status_summary s;
    if (const auto* v = member(doc, "daemonStatus"); v && v->is_string()) s.daemon_status = v->get<std::string>();
    for (const auto& [name, connected, error] :
         {std::tuple{"management", &s.management_connected, &s.management_error},
          std::tuple{"signal", &s.signal_connected, &s.signal_error}}) {
        const auto* link = member(doc, name);
        if (!link) continue;
        if (const auto* c = member(*link, "connected"); c && c->is_boolean()) *connected = c->get<bool>();
        if (const auto* e = member(*link, "error"); e && e->is_string()) *error = e->get<std::string>();
    }
    if (const auto* peers = member(doc, "peers")) {
        if (const auto* c = member(*peers, "connected"); c && c->is_number_integer()) s.peers_connected = c->get<std::int64_t>();
        if (const auto* t = member(*peers, "total"); t && t->is_number_integer()) s.peers_total = t->get<std::int64_t>();
    }
    return s;
}

bool same(const std::optional<status_report::status_summary>& a,
          const std::optional<status_report::status_summary>& b) {
    if (!a || !b) return !a && !b;
    return a->daemon_status == b->daemon_status && a->management_connected == b->management_connected &&
           a->management_error == b->management_error && a->signal_connected == b->signal_connected &&
           a->signal_error == b->signal_error && a->peers_connected == b->peers_connected &&
           a->peers_total == b->peers_total;
}

std::string dumped(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// What the report keeps is what the whole document says: its text, its
// text without the peers' details, and each peer's object where it says.
void check_report(const std::string& text) {
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    const auto report = status_report::read(text);
    if (doc.is_discarded() != !report) std::abort();
    if (!report) return;
    if (report->text != dumped(doc)) std::abort();
    nlohmann::json light = doc;
    const nlohmann::json* details = nullptr;
    if (light.is_object() && light.contains("peers") && light["peers"].is_object()) {
        light["peers"].erase("details");
        const auto& peers = doc["peers"];
        if (peers.contains("details") && peers["details"].is_array()) details = &peers["details"];
    }
    if (report->light_text != dumped(light)) std::abort();
    if (!details != !report->details_offset) std::abort();
    if (!details) return;
    if (report->text.compare(*report->details_offset, report->details_length, dumped(*details)) != 0) std::abort();
    std::size_t peer = 0;
    for (const auto& element : *details) {
        if (!element.is_object()) continue;
        if (peer >= report->peers.size()) std::abort();
        const auto& entry = report->peers[peer++];
        if (report->text.compare(entry.offset, entry.length, dumped(element)) != 0) std::abort();
    }
    if (peer != report->peers.size()) std::abort();
}

void check_answer(const std::string& text) {
    status_view::snapshot last;
    last.exit_code = 0;
    last.report = status_report::read(text);
    if (!last.report) last.output = text;
    status_view::facts facts;
    facts.registered = true;
    facts.pending_restart = true;
    nlohmann::json expected = {{"app_version", "1"}, {"applied", nullptr}, {"exit_code", 0}, {"netbird_version", "2"}, {"ok", true},
                               {"pending_reconnect", false}, {"pending_restart", true}, {"registered", true},
                               {"report_age_ms", 0}, {"sign_in", nullptr}};
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded()) expected["output"] = text;
    else expected["status"] = doc;
    if (status_view::answer(&last, facts, {}, "1", "2") != dumped(expected)) std::abort();
    status_view::query page;
    page.peers = status_view::peers_shown::page;
    page.offset = 1;
    page.limit = 2;
    // Every order, both ways: a comparison that is no strict order would make the sort read out of bounds.
    for (const auto order : {status_view::peer_order::name, status_view::peer_order::latency,
                             status_view::peer_order::handshake}) {
        page.order = order;
        page.descending = !page.descending;
        page.state = page.descending ? status_view::peer_state::offline : status_view::peer_state::any;
        if (nlohmann::json::parse(status_view::answer(&last, facts, page, "1", "2"), nullptr, false).is_discarded())
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto read = status_report::summary_of(text);
    if (!same(read, plain_reading(text))) std::abort();
    check_report(text);
    check_answer(text);
    return 0;
}
