#pragma once
// NetBird's status report as the supervisor keeps it: read once per poll,
// in one pass and without building a document, into
//   - the text that GET /status carries as "status" (exactly what parsing
//     the report and writing it back compactly, keys sorted, gives);
//   - the same without the peers' details, for callers that do not show them;
//   - where each peer's object lies in that text, with what a page of peers
//     is sorted and filtered by;
//   - the summary the watchdog and the history act on.
// A report of thousands of peers then costs its text and a few words per
// peer, not a tree of everything, and an answer copies no more than text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace status_report {

// What the supervisor keeps of a status report: the daemon's state, the
// management and signal connections with NetBird's error texts, and the
// peer counts; a member that is missing or of another type stays empty.
struct status_summary {
    std::optional<std::string> daemon_status;
    std::optional<bool> management_connected;
    std::string management_error;
    std::optional<bool> signal_connected;
    std::string signal_error;
    std::optional<std::int64_t> peers_connected;
    std::optional<std::int64_t> peers_total;
};

// How a status report reads to the watchdog, which restarts the daemon only
// after a time-out of `failing`:
//   good             NetBird is connected, with its management server;
//   management_lost  connected without it, while the tunnel still carries
//                    traffic: a peer is connected, or the signal server is
//                    there to reach the idle and lazy ones on demand (a
//                    restarted daemon could not fetch its network map, and
//                    every tunnel would drop until the server is back);
//   failing          not connected (connecting, a login refused, idle), or
//                    connected with nothing to carry traffic, or no report.
enum class tunnel_health { good, management_lost, failing };

// A report that names neither the daemon's state nor the management
// connection says nothing to act on: good.
// Example: {Connected, management false, signal true, 0 of 3 peers} -> management_lost;
//          {Connected, management false, signal false, 1 of 3} -> management_lost;
//          {Connected, management false, signal false, 0 of 3} -> failing; {Connecting} -> failing; none -> failing.
tunnel_health health_of(const std::optional<status_summary>& summary);

// Whether a report proves that NetBird accepted this device's login: it is
// connected, or its management server is.
// Example: {Connected} -> true; {Connecting, management true} -> true; {LoginFailed} -> false; {Connecting} -> false.
bool shows_enrolment(const status_summary& summary);

struct peer_entry {
    std::size_t offset = 0;  // of the peer's object in the report's text
    std::size_t length = 0;
    std::string name;        // the first label of its domain name, or its address
    std::string state;       // NetBird's "status" of the peer
    // Domain name then address, lower case, back to back, for the filter,
    // which matches within one of them (never across): the address begins
    // at address_at.
    std::string search;
    std::size_t address_at = 0;
    std::optional<std::int64_t> latency_ns;    // NetBird's "latency"
    std::optional<std::int64_t> handshake_ms;  // "lastWireguardHandshake" as UTC ms (Go's zero time when never)
};

struct report {
    std::string text;
    std::string light_text;             // text without peers.details (equal to text when there are none)
    std::optional<std::size_t> details_offset;  // the peers.details array in text, when there is one
    std::size_t details_length = 0;
    std::vector<peer_entry> peers;       // the objects of peers.details, in their order
    status_summary summary;             // empty members unless the report is an object
};

// The summary of `status --json` output, or nothing when it is no JSON object.
// Example: {"daemonStatus":"Connected","management":{"connected":true,"error":""},"peers":{"total":5,"connected":4}}
//   -> {Connected, true, "", -, "", 4, 5}
std::optional<status_summary> summary_of(std::string_view output);

// The report of `status --json` output, or nothing when the output is not JSON.
// Example: {"peers":{"total":1,"details":[{"fqdn":"cam.nb.cloud","status":"Idle"}]},"daemonStatus":"Idle"}
//   -> text {"daemonStatus":"Idle","peers":{"details":[{"fqdn":"cam.nb.cloud","status":"Idle"}],"total":1}},
//      light_text {"daemonStatus":"Idle","peers":{"total":1}}, one peer named "cam" at the offset of its object.
std::optional<report> read(std::string_view output);

}  // namespace status_report
