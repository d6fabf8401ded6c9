#include "netbird/status_report.hpp"

#include <gtest/gtest.h>

TEST(StatusOutput, ManagementConnected) {
    const struct { const char* output; std::optional<bool> expected; } cases[] = {
        {R"({"management":{"connected":false}})", false}, {R"( {"peers":[],"management":{"connected":true}} )", true},
        {R"({})", std::nullopt}, {"not json", std::nullopt}, {R"({"management":{"connected":"true"}})", std::nullopt},
        {R"({"management":true})", std::nullopt}, {R"([{"management":{"connected":true}}])", std::nullopt},
        {R"({"management":{"connected":true}} trailing)", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto summary = status_report::summary_of(c.output);
        EXPECT_EQ(summary ? summary->management_connected : std::nullopt, c.expected) << c.output;
    }
}
