#include "netbird/netbird_answers.hpp"
#include "netbird/status_report.hpp"

#include <gtest/gtest.h>

using opt = std::optional<std::string>;

TEST(StatusOutput, DaemonStateAndAnUpThatAppliedNothing) {
    const auto daemon_status = [](const char* output) {
        const auto summary = status_report::summary_of(output);
        return summary ? summary->daemon_status : std::nullopt;
    };
    EXPECT_EQ(daemon_status(R"({"daemonStatus":"NeedsLogin","management":{}})"), opt("NeedsLogin"));
    EXPECT_EQ(daemon_status(R"({"daemonStatus":7})"), std::nullopt);
    EXPECT_EQ(daemon_status("Error: failed to connect to daemon"), std::nullopt);
    EXPECT_TRUE(netbird_answers::is_unenrolled_state("NeedsLogin") && !netbird_answers::is_unenrolled_state("SessionExpired"));
    for (const char* state : {"Connecting", "LoginFailed", "SessionExpired"})
        EXPECT_TRUE(netbird_answers::is_stuck_state(state));
    for (const char* state : {"Connected", "Idle", "NeedsLogin"}) EXPECT_FALSE(netbird_answers::is_stuck_state(state));
    EXPECT_TRUE(netbird_answers::is_connect_retry(
        "Error: status failed: failed connecting to Management Service : context deadline exceeded\n"));
    EXPECT_FALSE(netbird_answers::is_connect_retry("Error: failed to connect to daemon error: context deadline exceeded"));
    EXPECT_TRUE(netbird_answers::up_was_already_connected("Already connected\n") &&
                !netbird_answers::up_was_already_connected("Connected\n"));
}
