#include "netbird/status_report.hpp"

#include <gtest/gtest.h>

TEST(StatusOutput, WhatTheWatchdogAndEnrolmentReadOfIt) {
    using h = status_report::tunnel_health;
    // Without management, peers or signal keep a tunnel; not connected is failing; a refused login proves no enrolment.
    const struct { const char* output; h health; bool enrolled; } cases[] = {
        {R"({"daemonStatus":"Connected","management":{"connected":true}})", h::good, true},
        {R"({"daemonStatus":"Connected","management":{"connected":false},"signal":{"connected":true}})", h::management_lost, true},
        {R"({"daemonStatus":"Connected","management":{},"signal":{},"peers":{"connected":1}})", h::good, true},
        {R"({"management":{"connected":false},"signal":{"connected":false},"peers":{"connected":1}})", h::management_lost, false},
        {R"({"daemonStatus":"Connected","management":{"connected":false},"peers":{"connected":0}})", h::failing, true},
        {R"({"daemonStatus":"Connecting","management":{"connected":true}})", h::failing, true},
        {R"({"daemonStatus":"LoginFailed","signal":{"connected":true}})", h::failing, false},
    };
    for (const auto& c : cases) {
        const auto summary = status_report::summary_of(c.output);
        EXPECT_EQ(status_report::health_of(summary), c.health) << c.output;
        EXPECT_EQ(status_report::shows_enrolment(*summary), c.enrolled) << c.output;
    }
    EXPECT_EQ(status_report::health_of(std::nullopt), h::failing);
    const struct { const char* output; std::optional<bool> expected; } management[] = {
        {R"({"management":{"connected":false}})", false}, {R"( {"peers":[],"management":{"connected":true}} )", true},
        {R"({})", std::nullopt}, {"not json", std::nullopt}, {R"({"management":{"connected":"true"}})", std::nullopt},
        {R"({"management":true})", std::nullopt}, {R"([{"management":{"connected":true}}])", std::nullopt},
        {R"({"management":{"connected":true}} trailing)", std::nullopt},
    };
    for (const auto& c : management) {
        const auto summary = status_report::summary_of(c.output);
        EXPECT_EQ(summary ? summary->management_connected : std::nullopt, c.expected) << c.output;
    }
}
