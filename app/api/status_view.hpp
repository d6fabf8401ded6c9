#pragma once
// What GET /status answers from the last status poll, and how much of the
// peers' details a caller asks for. Without a query the answer is the whole
// report; the page asks for the light form ("peers=none") for its header
// and cards, and for one page of peers while it shows them, so that what
// crosses the web server follows what is on screen, not the network's size.
//
// The answer is written by concatenating text kept since the poll, never by
// building a document: its members, values and key order are those of a
// compact, key-sorted dump.

#include "netbird/status_report.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace status_view {

// Default and largest page of peers: a screenful or two, never the network.
constexpr std::size_t DEFAULT_PAGE_SIZE = 50;
constexpr std::size_t MAX_PAGE_SIZE = 500;
constexpr std::size_t MAX_FILTER_LENGTH = 256;

// One status poll as the API keeps it, built off the event loop.
struct snapshot {
    std::chrono::steady_clock::time_point taken_at{};  // when the poll's output came in
    int exit_code = 1;
    std::string output;                     // the command's text when it is no JSON
    std::optional<status_report::report> report;
};

enum class peers_shown { all, none, page };
enum class peer_order { report, name, state, latency, handshake };
enum class peer_state { any, connected, offline };

struct query {
    peers_shown peers = peers_shown::all;
    std::size_t offset = 0;
    std::size_t limit = DEFAULT_PAGE_SIZE;
    std::string filter;  // lower case
    peer_order order = peer_order::report;
    bool descending = false;
    peer_state state = peer_state::any;  // offline: any state but Connected
};

// Names in the order a person expects: runs of digits compare as numbers,
// letters without regard to case.
// Example: "backup-server-3" before "backup-server-29"; "Cam-2" before "cam-10"; "a01" and "a1" tie.
bool natural_less(std::string_view a, std::string_view b);

// The facts of the supervisor the answer carries beside the report.
struct facts {
    bool registered = false;
    bool pending_reconnect = false;
    bool pending_restart = false;
    // Settings NetBird would refuse, as sentences for the page; the answer
    // has "problems" only when there are some.
    std::vector<std::string> problems;
    // The last interactive sign-in as JSON text; empty: none ("sign_in":null).
    std::string sign_in;
    // How old the report is: NetBird is polled every 30 s while nobody
    // watches, and the first read after such a spell answers at once.
    std::int64_t report_age_ms = 0;
    // The tunnel settings NetBird runs with (those of the last up that
    // succeeded) as JSON text, which saved settings differ from until they
    // are applied; empty: none ("applied":null).
    std::string applied{};
};

// The query of GET /status from its parameters (each empty when absent), or
// the message of a 400 answer. Sorted by latency or handshake, peers that
// have none come last either way; ties keep the report's order.
// Example: ("page", "100", "20", "CAM", "name", "", "") -> page of 20 from the 101st peer whose
//   name or address contains "cam", sorted by name.
// Example: ("page", "", "", "", "latency", "desc", "offline") -> the slowest peers not connected first.
// Example: ("", "", "", "", "", "", "") -> the whole report, as without a query.
// Example: ("some", "", "", "", "", "", "") -> error "peers must be all, none or page".
struct parsed_query {
    query value;
    std::string error;
};
struct query_text {
    std::string_view peers{}, offset{}, limit{}, filter{}, sort{}, order{}, state{};
};
parsed_query parse_query(const query_text& text);

// The whole answer body.
// Example (no query): report {"daemonStatus":"Idle"}, exit 0, registered ->
//   {"app_version":"1.0.0","applied":null,"exit_code":0,"netbird_version":"0.72.4","ok":true,"pending_reconnect":false,
//    "pending_restart":false,"registered":true,"report_age_ms":1200,"sign_in":null,"status":{"daemonStatus":"Idle"}}
// Example: output "daemon not running" (no JSON), exit 1 -> ...,"ok":false,"output":"daemon not running",...
//   and no "status".
// Example: problems {"P"} -> ...,"pending_restart":false,"problems":["P"],"registered":...
// Example (page of 1 from 0 of a report with peers a and b): "status" holds peers.details [a] and the
//   answer gains "peers_page":{"limit":1,"matched":2,"offset":0,"total":2} before "pending_reconnect".
std::string answer(const snapshot* last, const facts& f, const query& q, std::string_view app_version,
                   std::string_view netbird_version);

// The same answer in three parts, the middle one a view of the snapshot's
// own text (valid while the snapshot lives), so that a large report is sent
// from where it is kept rather than copied for every request.
// Example (no query, a report R): head `{"app_version":...,"status":`, shared R, tail `}`.
struct answer_parts {
    std::string head;
    std::string_view shared;
    std::string tail;

    std::size_t size() const { return head.size() + shared.size() + tail.size(); }
    // The answer in one piece (what answer() gives).
    std::string joined() &&;
};
answer_parts answer_in_parts(const snapshot* last, const facts& f, const query& q, std::string_view app_version,
                             std::string_view netbird_version);

}  // namespace status_view
