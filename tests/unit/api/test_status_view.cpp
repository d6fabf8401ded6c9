#include "api/status_view.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using nlohmann::json;

namespace {

// GET /status as first written (output parsed, dumped with the supervisor's facts): callers rely on exactly this.
std::string document_answer(int exit_code, const std::string& output, const status_view::facts& f) {
    json body = {{"app_version", "1.0.0"},          {"applied", nullptr}, {"exit_code", exit_code},
                 {"netbird_version", "0.72.4"},     {"ok", exit_code == 0},
                 {"pending_reconnect", f.pending_reconnect}, {"pending_restart", f.pending_restart},
                 {"registered", f.registered},      {"report_age_ms", f.report_age_ms}};
    if (!f.problems.empty()) body["problems"] = f.problems;
    body["sign_in"] = f.sign_in.empty() ? json(nullptr) : json::parse(f.sign_in);
    auto parsed = json::parse(output, nullptr, false);
    if (parsed.is_discarded()) body["output"] = output;
    else body["status"] = std::move(parsed);
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

status_view::snapshot poll(int exit_code, const std::string& output) {
    status_view::snapshot s;
    s.exit_code = exit_code, s.report = status_report::read(output);
    if (!s.report) s.output = output;
    return s;
}

std::string answer(const status_view::snapshot& s, const status_view::query& q = {}) {
    return status_view::answer(&s, {true, false, true, {}, {}}, q, "1.0.0", "0.72.4");
}

json peer(const std::string& name, const std::string& ip, const std::string& state) {
    return {{"fqdn", name + ".netbird.cloud"}, {"netbirdIp", ip}, {"status", state}, {"latency", 12}};
}

// NetBird's shape, pretty-printed and in its own member order, as the CLI writes it.
std::string network_report(const std::vector<json>& peers) {
    json details = peers.empty() ? json(nullptr) : json(peers);
    return "{\n  \"peers\": {\"total\": " + std::to_string(peers.size()) + ", \"connected\": 1, \"details\": " +
           details.dump(2) + "},\n  \"daemonStatus\": \"Connected\",\n  \"management\": {\"connected\": true}\n}\n";
}

status_view::query page(std::size_t offset, std::size_t limit, const std::string& filter = "",
                        status_view::peer_order order = status_view::peer_order::report) {
    status_view::query q;
    q.peers = status_view::peers_shown::page, q.offset = offset, q.limit = limit, q.filter = filter, q.order = order;
    return q;
}

std::vector<std::string> names_in(const std::string& body) {
    std::vector<std::string> names;
    const json parsed = json::parse(body);  // kept: a loop over a member of a temporary would dangle
    for (const auto& p : parsed["status"]["peers"]["details"]) names.push_back(p["fqdn"]);
    return names;
}

}  // namespace

TEST(StatusView, WithoutAQueryTheAnswerIsTheDocumentOneByteForByte) {
    const std::vector<std::pair<int, std::string>> polls = {
        {0, network_report({peer("cam-b", "100.92.0.2", "Idle"), peer("cam-a", "100.92.0.1", "Connected")})},
        {0, network_report({})},
        {0, R"({"daemonStatus":"NeedsLogin","é\u00e9":"\ud83d\ude00","n":-1.5e300,"big":18446744073709551615})"},
        {0, "[1, 2]"}, {0, "  7 "}, {1, "failed to connect to daemon error: context deadline exceeded\n"},
        {1, "{\"truncated\": "}, {1, ""}, {1, "\xff\xfe not text"},
    };
    for (const auto& [code, output] : polls)
        EXPECT_EQ(answer(poll(code, output)), document_answer(code, output, {true, false, true, {}, {}})) << output;
    // Before the first poll: what an empty failed poll gives.
    EXPECT_EQ(status_view::answer(nullptr, {}, {}, "1.0.0", "0.72.4"), document_answer(1, "", {}));
    const status_view::facts troubled{false, true, false, {"A \"stored\" URL NetBird refuses.", "Another."},
                                       R"({"phase":"starting"})", 31250};
    EXPECT_EQ(status_view::answer(nullptr, troubled, {}, "1.0.0", "0.72.4"), document_answer(1, "", troubled));
}

TEST(StatusView, TheLightFormDropsOnlyThePeersDetails) {
    const auto s = poll(0, network_report({peer("cam-a", "100.92.0.1", "Connected")}));
    auto light = json::parse(answer(s, status_view::parse_query({"none"}).value));
    auto full = json::parse(answer(s));
    full["status"]["peers"].erase("details");
    EXPECT_EQ(light, full);
    EXPECT_EQ(light["status"]["peers"], json({{"connected", 1}, {"total", 1}}));
}

TEST(StatusView, APageFiltersSortsAndCountsWhatMatched) {
    std::vector<json> peers;
    for (int i = 0; i < 30; ++i)
        peers.push_back(peer("cam-" + std::to_string(29 - i), "100.92.1." + std::to_string(i + 1),
                             i % 3 ? "Connected" : "Idle"));
    const auto s = poll(0, network_report(peers));

    // The page replaces the details and adds its figures; all else is the full answer.
    auto body = json::parse(answer(s, page(0, 2)));
    EXPECT_EQ(body["peers_page"], json({{"limit", 2}, {"matched", 30}, {"offset", 0}, {"total", 30}}));
    body.erase("peers_page");
    auto expected = json::parse(answer(s));
    expected["status"]["peers"]["details"] = {expected["status"]["peers"]["details"][0],
                                              expected["status"]["peers"]["details"][1]};
    EXPECT_EQ(body, expected);
    // Members keep the sorted order: the page's figures come before "pending_reconnect".
    const std::string text = answer(s, page(0, 1));
    EXPECT_LT(text.find("\"peers_page\""), text.find("\"pending_reconnect\""));
    EXPECT_GT(text.find("\"peers_page\""), text.find("\"ok\""));

    // Filter on name or address, case-blind; sort by name, ties in report order.
    EXPECT_EQ(names_in(answer(s, page(0, 50, "cam-2", status_view::peer_order::name))).front(), "cam-2.netbird.cloud");
    EXPECT_EQ(json::parse(answer(s, page(0, 50, "cam-2")))["peers_page"]["matched"], 11);  // cam-2, cam-20..29
    EXPECT_EQ(names_in(answer(s, page(0, 50, "100.92.1.30"))), std::vector<std::string>{"cam-0.netbird.cloud"});
    // Within one of the two: nothing matches across the name's end and the address's start.
    for (const char* across : {" ", "cloud 100", "cloud100", "d1"})
        EXPECT_EQ(json::parse(answer(s, page(0, 50, across)))["peers_page"]["matched"], 0) << across;
    const auto by_state = names_in(answer(s, page(0, 50, "", status_view::peer_order::state)));
    EXPECT_EQ(by_state.front(), "cam-28.netbird.cloud");  // the first Connected one in the report
    EXPECT_EQ(by_state.back(), "cam-2.netbird.cloud");    // the last Idle one

    // Past the end: an empty page, still counted.
    body = json::parse(answer(s, page(40, 10)));
    EXPECT_EQ(body["status"]["peers"]["details"], json::array());
    EXPECT_EQ(body["peers_page"]["matched"], 30);
    EXPECT_EQ(names_in(answer(s, page(28, 10))).size(), 2u);

    // No details (NetBird writes null without peers) and no report at all.
    body = json::parse(answer(poll(0, network_report({})), page(0, 10)));
    EXPECT_TRUE(body["status"]["peers"]["details"].is_null());
    EXPECT_EQ(body["peers_page"]["total"], 0);
    const auto failed = poll(1, "daemon not running");
    EXPECT_EQ(answer(failed, page(0, 10)), answer(failed));
}

// Natural name order; latency and handshake with peers that have none last both ways; a state filter.
TEST(StatusView, PeersSortAsAPersonExpectsAndFilterByState) {
    for (const auto& [a, b, less] : {std::tuple("backup-server-3", "backup-server-29", true),
                                     {"Cam-2", "cam-10", true}, {"a01", "a1", false}, {"a1", "a01", false}, {"cam", "cam-1", true}})
        EXPECT_EQ(status_view::natural_less(a, b), less) << a << " " << b;
    const auto s = poll(0, network_report({
        {{"fqdn", "backup-server-29.nb"}, {"status", "Connected"}, {"latency", 300},
         {"lastWireguardHandshake", "2026-12-07T10:00:00Z"}},
        {{"fqdn", "backup-server-3.nb"}, {"status", "Idle"}, {"lastWireguardHandshake", "0001-01-01T00:00:00Z"}},
        {{"fqdn", "Backup-server-10.nb"}, {"status", "Connecting"}, {"latency", 50},
         {"lastWireguardHandshake", "2026-12-07T11:00:00.5+01:00"}}}));
    const auto order = [&s](const char* sort, const char* direction, const char* state = "") {
        const auto parsed = status_view::parse_query({"page", "", "", "", sort, direction, state});
        EXPECT_EQ(parsed.error, "");
        std::string out;
        for (const auto& name : names_in(answer(s, parsed.value))) out += name.substr(14, name.find('.') - 14) + " ";
        return out;
    };
    // Handshake: never first, then to the millisecond.
    EXPECT_EQ(order("name", "asc") + "| " + order("name", "desc") + "| " + order("latency", "") + "| " +
                  order("latency", "desc") + "| " + order("handshake", "asc") + "| " + order("handshake", "desc") + "| " +
                  order("", "", "offline") + "| " + order("", "desc", "connected"),
              "3 10 29 | 29 10 3 | 10 29 3 | 29 10 3 | 3 29 10 | 10 29 3 | 3 10 | 29 ");
}

TEST(StatusView, QueriesAreCheckedBeforeAnythingIsAnswered) {
    EXPECT_EQ(status_view::parse_query({}).value.peers, status_view::peers_shown::all);
    const auto q = status_view::parse_query({"page", "100", "20", "CaM", "name", "desc", "offline"});
    EXPECT_EQ(q.error + "|" + std::to_string(q.value.offset) + "|" + std::to_string(q.value.limit) + "|" + q.value.filter,
              "|100|20|cam");
    EXPECT_TRUE(q.value.order == status_view::peer_order::name && q.value.descending &&
                q.value.state == status_view::peer_state::offline);
    const std::string long_filter(300, 'a');
    const std::vector<status_view::query_text> bad = {
        {"some"}, {"page", "-1"}, {"page", "1x"}, {"page", "", "0"}, {"page", "", "501"}, {"page", "", "", "", "ping"},
        {"page", "99999999999999999999999"}, {"page", "", "", long_filter},
        {"page", "", "", "", "name", "down"}, {"page", "", "", "", "", "", "Connected"}};
    for (const auto& text : bad) EXPECT_NE(status_view::parse_query(text).error, "") << text.peers << text.sort;
}
