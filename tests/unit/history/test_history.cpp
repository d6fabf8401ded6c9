#include "history/history_log.hpp"
#include "history/history_rules.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
namespace hr = history_rules;
using state = hr::tunnel_state;

namespace {

constexpr std::int64_t S = 1000;  // a second, in ms

// Recorded while the wall clock said `time`; with an `uptime`, of boot "b" at that uptime.
history_event event(std::uint64_t id, std::int64_t time, const char* kind, nlohmann::json facts = nlohmann::json::object(),
                    std::int64_t uptime = -1) {
    return {id, time, kind, kind, std::move(facts), uptime < 0 ? "" : "b", uptime};
}

moment wall(std::int64_t time) { return {time, "", -1}; }

std::string states(const std::vector<hr::segment>& segments) {
    std::string out;
    for (const auto& s : segments)
        out += std::to_string(s.from / S) + "-" + std::to_string(s.to / S) + " " + std::string(hr::state_name(s.state)) +
               (s.asked ? "*; " : "; ");
    return out;
}

std::vector<std::int64_t> figures_of(const hr::window_figures& f) {
    return {f.known_ms, f.wanted_ms, f.up_ms, f.drops, f.longest_outage_ms, f.daemon_restarts};
}

struct temp_file {
    fs::path path = fs::temp_directory_path() / ("vv_history_" + std::to_string(::getpid()) + "_" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    temp_file() { fs::remove(path); }
    ~temp_file() { fs::remove(path); }
};

}  // namespace

TEST(HistoryRules, TheTunnelsStatesAndTheFiguresAnInstallerAsksFor) {
    const std::deque<history_event> events = {
        event(1, 0, "supervisor_started", {{"wanted", true}}), event(2, 10 * S, "daemon_state", {{"to", "Connected"}}),
        event(3, 40 * S, "daemon_state", {{"to", "Connecting"}}), event(4, 45 * S, "daemon_exited", {{"signal", 9}}),
        event(5, 50 * S, "daemon_state", {{"to", "Connected"}}), event(6, 70 * S, "command", {{"command", "down"}}),
        event(7, 80 * S, "supervisor_stopping"),
        event(8, 90 * S, "supervisor_started", {{"wanted", true}, {"enrolled", false}}),  // wished, not enrolled
        event(9, 85 * S, "daemon_state", {{"to", "Idle"}}),  // clock set back: nothing is later than what follows
    };  // 3-4: a drop, then the daemon killed
    const auto r = hr::replay(events, wall(100 * S));
    const auto& replayed = r.segments;
    EXPECT_EQ(states(replayed), "0-10 connecting; 10-40 up; 40-45 connecting; 45-50 down; 50-70 up; "
                                "70-80 not_wanted; 80-85 unknown; 85-100 not_wanted; ");
    EXPECT_TRUE(r.current == state::not_wanted && r.since == 85 * S) << r.since;
    const auto times = hr::event_times(events, wall(100 * S));
    const auto all = hr::figures(replayed, events, times, 0, 100 * S, 100);
    // Known, wanted, up; drops; the longest outage (0-10 at the start, 40-50 after the drop); daemon restarts.
    EXPECT_EQ(figures_of(all), (std::vector<std::int64_t>{95 * S, 70 * S, 50 * S, 1, 10 * S, 1}));
    // A window sees its own part: clipped stretches, its own drops and restarts.
    const auto late = hr::figures(replayed, events, times, 42 * S, 100 * S, 100);
    EXPECT_EQ(states(late.segments), "42-45 connecting; 45-50 down; 50-70 up; 70-80 not_wanted; 80-85 unknown; "
                                     "85-100 not_wanted; ");
    EXPECT_EQ(figures_of(late), (std::vector<std::int64_t>{53 * S, 28 * S, 20 * S, 0, 8 * S, 1}));
    // Too many stretches for the timeline: equal ones, each as bad as the worst in it.
    EXPECT_EQ(states(hr::figures(replayed, events, times, 0, 100 * S, 4).segments),
              "0-25 connecting; 25-50 down; 50-75 not_wanted; 75-100 unknown; ");
    // Signing in enrols the device as an up with a key does: from then on it is wanted up.
    const std::deque<history_event> signed_in = {
        event(1, 0, "supervisor_started", {{"wanted", true}, {"enrolled", false}}),
        event(2, 10 * S, "sign_in", {{"outcome", "connected"}}), event(3, 12 * S, "daemon_state", {{"to", "Connected"}})};
    EXPECT_EQ(states(hr::replay(signed_in, wall(20 * S)).segments), "0-10 not_wanted; 10-12 connecting; 12-20 up; ");
}

// The user's reconnects and restarts are no drops or restarts, unless their outage outlasts its grace; a restart
// recorded before the mark existed counts as it always did.
TEST(HistoryRules, WhatTheUserAskedForIsNoFailure) {
    const nlohmann::json asked = {{"asked", true}};
    const std::deque<history_event> events = {
        event(1, 0, "supervisor_started", {{"wanted", true}}), event(2, 10 * S, "daemon_state", {{"to", "Connected"}}),
        event(3, 20 * S, "daemon_started", asked),  // a reconnect
        event(4, 23 * S, "daemon_state", {{"to", "Connected"}, {"asked", true}}),
        event(5, 24 * S, "command", {{"command", "reconnect"}, {"asked", true}}),
        event(6, 40 * S, "daemon_exited", {{"signal", 9}}),  // killed: a drop and a restart
        event(7, 41 * S, "daemon_started"), event(8, 45 * S, "daemon_state", {{"to", "Connected"}}),
        event(9, 50 * S, "command", {{"command", "restart"}}),  // an old line: counted
        event(10, 55 * S, "command", {{"command", "restart"}, {"asked", true}}),
        event(11, 60 * S, "daemon_started", asked),  // asked, but it never comes back
    };
    const auto r = hr::replay(events, wall(260 * S));
    EXPECT_EQ(states(r.segments) + std::to_string(r.since / S), "0-10 connecting; 10-20 up; 20-23 connecting*; 23-40 up; "
              "40-41 down; 41-45 connecting; 45-60 up; 60-180 connecting*; 180-260 connecting; 60");
    const auto f = hr::figures(r.segments, events, hr::event_times(events, wall(260 * S)), 0, 260 * S, 100);
    EXPECT_EQ(figures_of(f), (std::vector<std::int64_t>{260 * S, 137 * S, 42 * S, 2, 80 * S, 2}));
}

TEST(HistoryRules, TheBootClockPlacesWhatAWrongWallClockRecordedAndSinceIsAnIdOrAUtcTime) {
    // Booted at 1970, clock set a minute later, then killed: early events lie where the boot clock puts them.
    const std::int64_t day = 20000 * 86400 * S;  // some day after 2024
    const std::deque<history_event> events = {
        event(1, 10 * S, "supervisor_started", {{"wanted", true}}, 10 * S),
        event(2, 30 * S, "daemon_state", {{"to", "Connected"}}, 30 * S),
        event(3, day + 70 * S, "daemon_state", {{"to", "Connecting"}}, 70 * S),
        event(4, day + 80 * S, "daemon_state", {{"to", "Connected"}}, 80 * S),
        event(5, day + 200 * S, "supervisor_started", {{"wanted", true}, {"previous", "killed or crashed"}}),
    };
    const moment now{day + 250 * S, "x", 5 * S};  // another boot
    EXPECT_EQ(hr::event_times(events, now), (std::vector<std::int64_t>{day + 10 * S, day + 30 * S, day + 70 * S,
                                                                       day + 80 * S, day + 200 * S}));
    const auto r = hr::replay(events, now);
    EXPECT_EQ(states(r.segments), "1728000010-1728000030 connecting; 1728000030-1728000070 up; "
                                  "1728000070-1728000080 connecting; 1728000080-1728000200 unknown; "
                                  "1728000200-1728000250 connecting; ");
    EXPECT_TRUE(r.current == state::connecting && r.since == day + 200 * S) << r.since;
    const auto id = [](const char* text) { return std::get<hr::since_id>(*hr::parse_since(text)).id; };
    const auto time = [](const char* text) { return std::get<hr::since_time>(*hr::parse_since(text)).time; };
    EXPECT_EQ(id("42"), 42u);
    EXPECT_EQ((std::vector<std::int64_t>{time("2026-12-07T02:14:00Z"), time("2026-12-07T03:14:00.5+01:00"),
                                         time("1970-01-01T00:00:00Z"), time("2028-02-29T00:00:00Z"),
                                         time("0001-01-01T00:00:00Z")}),  // last: Go's zero time, no handshake
              (std::vector<std::int64_t>{1796609640000, 1796609640500, 0, 1835395200000, -62135596800000}));
    for (const char* bad : {"", "yesterday", "-1", "2026-12-07", "2026-12-07T02:14:00", "2026-13-07T02:14:00Z",
                            "2026-12-07T02:14:00Zx", "99999999999999999999", "2026-02-31T00:00:00Z",
                            "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z"})
        EXPECT_FALSE(hr::parse_since(bad).has_value()) << bad;
}

TEST(HistoryLog, SurvivesTornLinesAndStaysWithinItsBound) {
    temp_file file;
    {
        history_log log(file.path); log.load();
        log.append("command", "Disconnect: done", {{"command", "down"}}, wall(1000));
        log.append("peers", "Peers connected: 3 of 5", {{"connected", 3}}, moment{2000, "b", 5});
    }
    // Half a line (a kill mid-write), foreign lines, times, uptimes or ids no clock or count gives (ids wrap to 0).
    std::ofstream(file.path, std::ios::app)
        << "not an event\n"
        << R"({"facts":{},"id":3,"kind":"k","text":"t","time":-9223372036854775808})" << "\n"
        << R"({"facts":{},"id":18446744073709551615,"kind":"k","text":"t","time":0})" << "\n"
        << R"({"boot":"b","facts":{},"id":3,"kind":"k","text":"t","time":0,"uptime":-9223372036854775808})" << "\n"
        << "{\"facts\":{},\"id\":3,\"kind\":\"comm";
    {
        history_log log(file.path); log.load();
        ASSERT_EQ(log.events().size(), 2u);
        EXPECT_EQ(log.events().back().text, "Peers connected: 3 of 5");
        EXPECT_EQ(log.events().back().uptime, 5);
        EXPECT_EQ(log.append("command", "Connect: done", {}, wall(3000)).id, 3u);
    }
    history_log again(file.path); again.load();
    ASSERT_EQ(again.events().size(), 3u);
    EXPECT_EQ(again.events().back().text, "Connect: done");

    // A week of an event a minute (a flapping tunnel) stays within the bound, the newest kept, the ids going on.
    for (int minute = 0; minute < 7 * 24 * 60; ++minute)
        again.append("management", "Management server lost: context deadline exceeded", {{"connected", false}},
                     wall(4000 + minute * 60 * S));
    EXPECT_LE(fs::file_size(file.path), history_log::MAX_BYTES);
    EXPECT_EQ(again.events().back().id, 3u + 7 * 24 * 60);
    history_log reloaded(file.path); reloaded.load();
    EXPECT_EQ(reloaded.events().size(), again.events().size());
    EXPECT_EQ(reloaded.events().back().id, again.events().back().id);

    // Ids that leave no room (2^53 - 2: the next ones would not be read back) are numbered again.
    std::ofstream(file.path, std::ios::app)
        << R"({"facts":{},"id":9007199254740990,"kind":"k","text":"planted","time":0})" << "\n";
    history_log renumbered(file.path); renumbered.load();
    const std::uint64_t planted = renumbered.events().size();
    EXPECT_EQ(renumbered.events().back().id, planted);
    EXPECT_EQ(renumbered.append("command", "Connect: done", {}, wall(5000)).id, planted + 1);
    history_log after(file.path); after.load();
    ASSERT_EQ(after.events().size(), planted + 1);
    EXPECT_EQ(after.events()[planted - 1].text, "planted");
}
