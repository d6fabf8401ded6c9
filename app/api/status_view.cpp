#include "api/status_view.hpp"

#include "api/api_json.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <numeric>
#include <vector>

namespace status_view {
namespace {

std::optional<std::size_t> parse_count(std::string_view text) {
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

const char* flag(bool value) { return value ? "true" : "false"; }

// Whether a peer's domain name or address contains `filter` (lower case),
// within one of the two: a filter that spans their boundary matches nothing.
// Example: cam-1.netbird.cloud at 100.92.1.1: "cloud" or "92.1" -> yes; "cloud100" -> no.
bool matches(const status_report::peer_entry& peer, std::string_view filter) {
    const std::string_view search = peer.search;
    const std::size_t split = std::min(peer.address_at, search.size());
    return search.substr(0, split).find(filter) != std::string_view::npos ||
           search.substr(split).find(filter) != std::string_view::npos;
}

bool state_matches(const status_report::peer_entry& peer, peer_state wanted) {
    if (wanted == peer_state::any) return true;
    return (peer.state == "Connected") == (wanted == peer_state::connected);
}

// -1, 0 or 1 as `a` comes before, with or after `b` in `order`, ascending.
int compare(const status_report::peer_entry& a, const status_report::peer_entry& b, peer_order order) {
    const auto by = [](const auto& x, const auto& y) { return x < y ? -1 : y < x ? 1 : 0; };
    switch (order) {
    case peer_order::name: return natural_less(a.name, b.name) ? -1 : natural_less(b.name, a.name) ? 1 : 0;
    case peer_order::state: return by(a.state, b.state);
    case peer_order::latency: return by(*a.latency_ns, *b.latency_ns);
    case peer_order::handshake: return by(*a.handshake_ms, *b.handshake_ms);
    case peer_order::report: break;
    }
    return 0;
}

bool has_key(const status_report::peer_entry& peer, peer_order order) {
    if (order == peer_order::latency) return peer.latency_ns.has_value();
    if (order == peer_order::handshake) return peer.handshake_ms.has_value();
    return true;
}

// The peers a page shows, as indexes into the report's peers, and how many matched.
std::vector<std::size_t> select_page(const status_report::report& r, const query& q, std::size_t& matched) {
    std::vector<std::size_t> chosen;
    chosen.reserve(r.peers.size());
    for (std::size_t i = 0; i < r.peers.size(); ++i)
        if ((q.filter.empty() || matches(r.peers[i], q.filter)) && state_matches(r.peers[i], q.state))
            chosen.push_back(i);
    matched = chosen.size();
    // Ties keep the report's order, so a page never shuffles between polls;
    // peers without the value sorted by come last both ways.
    if (q.order == peer_order::report) {
        if (q.descending) std::reverse(chosen.begin(), chosen.end());
    } else {
        std::stable_sort(chosen.begin(), chosen.end(), [&r, &q](std::size_t a, std::size_t b) {
            const auto& pa = r.peers[a];
            const auto& pb = r.peers[b];
            const bool ka = has_key(pa, q.order), kb = has_key(pb, q.order);
            if (!ka || !kb) return ka && !kb;
            const int c = compare(pa, pb, q.order);
            return q.descending ? c > 0 : c < 0;
        });
    }
    const std::size_t first = std::min(q.offset, chosen.size());
    const std::size_t last = first + std::min(q.limit, chosen.size() - first);
    return {chosen.begin() + static_cast<std::ptrdiff_t>(first), chosen.begin() + static_cast<std::ptrdiff_t>(last)};
}

// The report's text with its peers' details replaced by the page's.
void append_paged_status(std::string& out, const status_report::report& r, const std::vector<std::size_t>& page) {
    const std::size_t at = *r.details_offset;
    out.append(r.text, 0, at);
    out += '[';
    for (std::size_t i = 0; i < page.size(); ++i) {
        if (i) out += ',';
        const auto& peer = r.peers[page[i]];
        out.append(r.text, peer.offset, peer.length);
    }
    out += ']';
    out.append(r.text, at + r.details_length, std::string::npos);
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            // Leading zeros say nothing of the number; then the longer run is the larger.
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            std::size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            if (ei - i != ej - j) return ei - i < ej - j;
            const int c = a.substr(i, ei - i).compare(b.substr(j, ej - j));
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb;
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

parsed_query parse_query(const query_text& text) {
    const auto& [peers, offset, limit, filter, sort, order, state] = text;
    parsed_query out;
    query& q = out.value;
    if (peers.empty() || peers == "all") q.peers = peers_shown::all;
    else if (peers == "none") q.peers = peers_shown::none;
    else if (peers == "page") q.peers = peers_shown::page;
    else {
        out.error = "peers must be all, none or page";
        return out;
    }
    if (!offset.empty()) {
        const auto n = parse_count(offset);
        if (!n) {
            out.error = "offset must be a whole number";
            return out;
        }
        q.offset = *n;
    }
    if (!limit.empty()) {
        const auto n = parse_count(limit);
        if (!n || *n == 0 || *n > MAX_PAGE_SIZE) {
            out.error = "limit must be a whole number from 1 to " + std::to_string(MAX_PAGE_SIZE);
            return out;
        }
        q.limit = *n;
    }
    if (filter.size() > MAX_FILTER_LENGTH) {
        out.error = "filter must be at most " + std::to_string(MAX_FILTER_LENGTH) + " characters";
        return out;
    }
    q.filter.assign(filter);
    std::transform(q.filter.begin(), q.filter.end(), q.filter.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (sort.empty()) q.order = peer_order::report;
    else if (sort == "name") q.order = peer_order::name;
    else if (sort == "state") q.order = peer_order::state;
    else if (sort == "latency") q.order = peer_order::latency;
    else if (sort == "handshake") q.order = peer_order::handshake;
    else {
        out.error = "sort must be name, state, latency or handshake";
        return out;
    }
    if (order == "desc") q.descending = true;
    else if (!order.empty() && order != "asc") {
        out.error = "order must be asc or desc";
        return out;
    }
    if (state == "connected") q.state = peer_state::connected;
    else if (state == "offline") q.state = peer_state::offline;
    else if (!state.empty()) out.error = "state must be connected or offline";
    return out;
}

answer_parts answer_in_parts(const snapshot* last, const facts& f, const query& q, std::string_view app_version,
                             std::string_view netbird_version) {
    const int exit_code = last ? last->exit_code : 1;
    const status_report::report* r = last && last->report ? &*last->report : nullptr;
    const bool paged = r && q.peers == peers_shown::page;
    std::vector<std::size_t> page;
    std::size_t matched = 0;
    if (paged && r->details_offset) page = select_page(*r, q, matched);

    answer_parts parts;
    std::string& out = parts.head;
    std::size_t reserve = 256;
    if (paged && r->details_offset)
        reserve = std::accumulate(page.begin(), page.end(), reserve + r->text.size() - r->details_length,
                                  [r](std::size_t sum, std::size_t i) { return sum + r->peers[i].length + 1; });
    out.reserve(reserve);
    out += "{\"app_version\":";
    out += api_json::compact(std::string(app_version));
    out += ",\"applied\":";
    out += f.applied.empty() ? std::string_view("null") : std::string_view(f.applied);
    out += ",\"exit_code\":";
    out += std::to_string(exit_code);
    out += ",\"netbird_version\":";
    out += api_json::compact(std::string(netbird_version));
    out += ",\"ok\":";
    out += flag(exit_code == 0);
    if (!r) {
        out += ",\"output\":";
        out += api_json::compact(last ? last->output : std::string());
    }
    if (paged) {
        out += ",\"peers_page\":{\"limit\":" + std::to_string(q.limit) + ",\"matched\":" + std::to_string(matched) +
               ",\"offset\":" + std::to_string(q.offset) + ",\"total\":" + std::to_string(r->peers.size()) + "}";
    }
    out += ",\"pending_reconnect\":";
    out += flag(f.pending_reconnect);
    out += ",\"pending_restart\":";
    out += flag(f.pending_restart);
    if (!f.problems.empty()) {
        out += ",\"problems\":";
        out += api_json::compact(f.problems);
    }
    out += ",\"registered\":";
    out += flag(f.registered);
    out += ",\"report_age_ms\":";
    out += std::to_string(f.report_age_ms);
    out += ",\"sign_in\":";
    out += f.sign_in.empty() ? std::string_view("null") : std::string_view(f.sign_in);
    if (r) {
        out += ",\"status\":";
        if (q.peers == peers_shown::none) parts.shared = r->light_text;
        else if (paged && r->details_offset) append_paged_status(out, *r, page);
        else parts.shared = r->text;  // the whole report, or no details to page through (NetBird writes null then)
    }
    parts.tail = "}";
    return parts;
}

std::string answer_parts::joined() && {
    std::string out = std::move(head);
    out.reserve(size());
    out.append(shared);
    out += tail;
    return out;
}

std::string answer(const snapshot* last, const facts& f, const query& q, std::string_view app_version,
                   std::string_view netbird_version) {
    return answer_in_parts(last, f, q, app_version, netbird_version).joined();
}

}  // namespace status_view
