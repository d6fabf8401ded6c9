#include "netbird/status_report.hpp"

#include "core/utc_time.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace status_report {
namespace {

using json = nlohmann::json;

// Where a value sits, as far as the summary and the peers care.
enum class place { other, root, management, signal, peers, details, peer };

std::string dumped(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// A string as the dump writes it. Nearly every string of a report (names,
// addresses, states, times) is printable ASCII without quotes or
// backslashes, which the dump writes as it is: written here without
// building a value for it, it saves most of a large report's reading time.
// Example: json_string(Connected) -> "Connected" (quotes added); json_string(a"b) -> the dump's "a\"b"
std::string json_string(const std::string& text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    if (!plain) return dumped(json(text));
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

struct member {
    std::string key;
    std::string text;
    bool tracked = false;           // holds the peers' details, whose spans follow it
    std::optional<std::string> light;  // the peers object without its details
};

struct frame {
    bool object = false;
    place where = place::other;
    std::string text;              // arrays: "[" and the elements so far
    std::vector<member> members;   // objects: in arrival order
    std::string key;               // objects: the key whose value comes next
    bool tracked = false;          // arrays: this is the peers' details
    peer_entry peer;               // a peer's object: what it is sorted and filtered by
    std::string fqdn, ip;
};

class reader final : public nlohmann::json_sax<json> {
public:
    explicit reader(report& out) : m_out(out) {}

    bool null() override { return value("null", nullptr); }
    bool boolean(bool v) override { return value(v ? "true" : "false", &v); }
    bool number_integer(number_integer_t v) override { return value(std::to_string(v), nullptr, &v); }
    bool number_unsigned(number_unsigned_t v) override {
        const auto as_signed = static_cast<number_integer_t>(v);
        return value(std::to_string(v), nullptr, v <= static_cast<number_unsigned_t>(INT64_MAX) ? &as_signed : nullptr);
    }
    bool number_float(number_float_t v, const string_t&) override { return value(dumped(json(v)), nullptr); }
    bool string(string_t& v) override {
        capture_string(v);
        return value(json_string(v), nullptr);
    }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override {
        frame f;
        f.object = true;
        f.where = child_place();
        m_stack.push_back(std::move(f));
        return true;
    }

    bool key(string_t& k) override {
        frame& f = m_stack.back();
        f.key = k;
        // A key seen again replaces what came with it before, as it does in a document.
        if (f.where == place::root) {
            if (k == "daemonStatus") m_out.summary.daemon_status.reset();
            if (k == "management") m_out.summary.management_connected.reset(), m_out.summary.management_error.clear();
            if (k == "signal") m_out.summary.signal_connected.reset(), m_out.summary.signal_error.clear();
            if (k == "peers") forget_peers(), m_out.summary.peers_connected.reset(), m_out.summary.peers_total.reset();
        } else if (f.where == place::management || f.where == place::signal) {
            const bool management = f.where == place::management;
            if (k == "connected") (management ? m_out.summary.management_connected : m_out.summary.signal_connected).reset();
            if (k == "error") (management ? m_out.summary.management_error : m_out.summary.signal_error).clear();
        } else if (f.where == place::peers) {
            if (k == "details") forget_peers();
            if (k == "connected") m_out.summary.peers_connected.reset();
            if (k == "total") m_out.summary.peers_total.reset();
        } else if (f.where == place::peer) {
            if (k == "fqdn") f.fqdn.clear();
            if (k == "netbirdIp") f.ip.clear();
            if (k == "status") f.peer.state.clear();
            if (k == "latency") f.peer.latency_ns.reset();
            if (k == "lastWireguardHandshake") f.peer.handshake_ms.reset();
        }
        return true;
    }

    bool end_object() override {
        frame f = std::move(m_stack.back());
        m_stack.pop_back();
        // The last of equal keys stays, as in a document; keys in sorted order.
        std::stable_sort(f.members.begin(), f.members.end(),
                         [](const member& a, const member& b) { return a.key < b.key; });
        std::string text = "{";
        std::string light = "{";
        bool tracked = false;
        for (std::size_t i = 0; i < f.members.size(); ++i) {
            if (i + 1 < f.members.size() && f.members[i + 1].key == f.members[i].key) continue;
            const member& m = f.members[i];
            const std::string key = json_string(m.key) + ":";
            if (text.size() > 1) text += ',';
            text += key;
            if (m.tracked) {
                shift_spans(text.size());
                tracked = true;
            }
            text += m.text;
            if (f.where == place::peers && m.key == "details") continue;
            if (light.size() > 1) light += ',';
            light += key;
            light += m.light ? *m.light : m.text;
        }
        text += '}';
        light += '}';
        if (f.where == place::root) m_out.light_text = std::move(light);
        if (f.where == place::peer) {
            f.peer.name = f.fqdn.substr(0, f.fqdn.find('.'));
            if (f.peer.name.empty()) f.peer.name = f.ip;
            f.peer.search = f.fqdn + f.ip;
            f.peer.address_at = f.fqdn.size();
            std::transform(f.peer.search.begin(), f.peer.search.end(), f.peer.search.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            m_peer = std::move(f.peer);
        }
        return place_child(std::move(text), tracked,
                           f.where == place::peers ? std::optional<std::string>(std::move(light)) : std::nullopt);
    }

    bool start_array(std::size_t) override {
        frame f;
        f.where = child_place();
        f.text = "[";
        f.tracked = f.where == place::details;
        m_stack.push_back(std::move(f));
        return true;
    }

    bool end_array() override {
        frame f = std::move(m_stack.back());
        m_stack.pop_back();
        f.text += ']';
        if (f.tracked) {
            m_out.details_offset = 0;
            m_out.details_length = f.text.size();
        }
        return place_child(std::move(f.text), f.tracked);
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    // Where a value that starts now sits.
    place child_place() const {
        if (m_stack.empty()) return place::root;
        const frame& parent = m_stack.back();
        if (parent.object) {
            if (parent.where == place::root && parent.key == "management") return place::management;
            if (parent.where == place::root && parent.key == "signal") return place::signal;
            if (parent.where == place::root && parent.key == "peers") return place::peers;
            if (parent.where == place::peers && parent.key == "details") return place::details;
        } else if (parent.where == place::details) {
            return place::peer;
        }
        return place::other;
    }

    void capture_string(const std::string& v) {
        if (m_stack.empty() || !m_stack.back().object) return;
        frame& f = m_stack.back();
        if (f.where == place::root && f.key == "daemonStatus") m_out.summary.daemon_status = v;
        if (f.where == place::management && f.key == "error") m_out.summary.management_error = v;
        if (f.where == place::signal && f.key == "error") m_out.summary.signal_error = v;
        if (f.where == place::peer && f.key == "fqdn") f.fqdn = v;
        if (f.where == place::peer && f.key == "netbirdIp") f.ip = v;
        if (f.where == place::peer && f.key == "status") f.peer.state = v;
        if (f.where == place::peer && f.key == "lastWireguardHandshake") f.peer.handshake_ms = utc_time::parse_rfc3339(v);
    }

    // A scalar: its text, and what the summary takes from it.
    bool value(std::string text, const bool* flag, const number_integer_t* integer = nullptr) {
        if (!m_stack.empty() && m_stack.back().object) {
            frame& f = m_stack.back();
            if (integer && f.where == place::peer && f.key == "latency") f.peer.latency_ns = *integer;
            if (flag && f.where == place::management && f.key == "connected") m_out.summary.management_connected = *flag;
            if (flag && f.where == place::signal && f.key == "connected") m_out.summary.signal_connected = *flag;
            if (integer && f.where == place::peers && f.key == "connected") m_out.summary.peers_connected = *integer;
            if (integer && f.where == place::peers && f.key == "total") m_out.summary.peers_total = *integer;
        }
        return place_child(std::move(text), false);
    }

    bool place_child(std::string text, bool tracked, std::optional<std::string> light = std::nullopt) {
        if (m_stack.empty()) {
            m_out.text = std::move(text);
            if (m_out.light_text.empty()) m_out.light_text = m_out.text;
            return true;
        }
        frame& parent = m_stack.back();
        if (parent.object) {
            parent.members.push_back({parent.key, std::move(text), tracked, std::move(light)});
            return true;
        }
        if (parent.text.size() > 1) parent.text += ',';
        if (parent.tracked && m_peer) {
            m_peer->offset = parent.text.size();
            m_peer->length = text.size();
            m_out.peers.push_back(std::move(*m_peer));
            m_peer.reset();
        }
        if (tracked) shift_spans(parent.text.size());
        parent.text += text;
        return true;
    }

    // The peers' details moved `by` bytes into the text of what holds them.
    void shift_spans(std::size_t by) {
        if (!m_out.details_offset) return;
        *m_out.details_offset += by;
        for (auto& p : m_out.peers) p.offset += by;
    }

    void forget_peers() {
        m_out.peers.clear();
        m_out.details_offset.reset();
        m_out.details_length = 0;
    }

    report& m_out;
    std::vector<frame> m_stack;
    std::optional<peer_entry> m_peer;  // a peer's object just read, for its array
};

}  // namespace

tunnel_health health_of(const std::optional<status_summary>& summary) {
    if (!summary) return tunnel_health::failing;
    if (summary->daemon_status && *summary->daemon_status != "Connected") return tunnel_health::failing;
    if (!summary->management_connected || *summary->management_connected) return tunnel_health::good;
    const bool peer_connected = summary->peers_connected && *summary->peers_connected > 0;
    const bool signal_connected = summary->signal_connected && *summary->signal_connected;
    return peer_connected || signal_connected ? tunnel_health::management_lost : tunnel_health::failing;
}

bool shows_enrolment(const status_summary& summary) {
    return summary.daemon_status == "Connected" || summary.management_connected == true;
}

std::optional<status_summary> summary_of(std::string_view output) {
    auto r = read(output);
    if (!r || r->text.empty() || r->text.front() != '{') return std::nullopt;
    return std::move(r->summary);
}

std::optional<report> read(std::string_view output) {
    report out;
    reader r(out);
    if (!json::sax_parse(output.begin(), output.end(), &r, json::input_format_t::json, true, false)) return std::nullopt;
    return out;
}

}  // namespace status_report
