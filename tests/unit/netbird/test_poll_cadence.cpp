#include "netbird/poll_cadence.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(PollCadence, OnlyASteadyTunnelIsPolledSlowlyAndFastWhileKeptOrCommandsRun) {
    const struct { const char* report; bool wanted_up; bool sign_in; bool steady; } cases[] = {
        {R"({"daemonStatus":"Connected","management":{"connected":true}})", true, false, true},
        {R"({"daemonStatus":"Connected","management":{"connected":true}})", true, true, false},
        {R"({"daemonStatus":"Connected","management":{"connected":false},"peers":{"connected":3}})", true, false, false},
        {R"({"daemonStatus":"NeedsLogin","management":{"connected":false}})", false, false, true},
        {R"({"daemonStatus":"Idle"})", false, false, true},
        {R"({"daemonStatus":"Idle"})", true, false, false},
        {R"({"daemonStatus":"Connecting","management":{"connected":true}})", true, false, false},
        {R"({"daemonStatus":"LoginFailed"})", false, false, false},
        {R"({"management":{"connected":true}})", true, false, false},
    };
    for (const auto& c : cases) {
        const auto summary = status_report::summary_of(c.report);
        EXPECT_EQ(poll_cadence::steady(summary, c.wanted_up, c.sign_in), c.steady) << c.report;
        // The watchdog times its restart on fast polls: what it counts as failing is never steady.
        if (status_report::health_of(summary) == status_report::tunnel_health::failing && c.wanted_up) {
            EXPECT_FALSE(poll_cadence::steady(summary, c.wanted_up, c.sign_in)) << c.report;
        }
    }
    EXPECT_FALSE(poll_cadence::steady(std::nullopt, true, false));  // the poll failed
    const poll_cadence::clock::time_point now{1h};
    EXPECT_TRUE(poll_cadence::poll_due(now, std::nullopt, {}, false));
    EXPECT_FALSE(poll_cadence::poll_due(now, now - 25s, now - 3s, false));
    EXPECT_TRUE(poll_cadence::poll_due(now, now - 30s, now - 3s, false));
    EXPECT_TRUE(poll_cadence::poll_due(now, now - 5s, now + 1s, false));
    EXPECT_FALSE(poll_cadence::poll_due(now, now - 5s, now, false));  // "until" is the first slow moment
    EXPECT_TRUE(poll_cadence::poll_due(now, now - 5s, now - 3s, true));
}
