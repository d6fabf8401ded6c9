#include "core/text_utils.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <sstream>
#include <vector>

using text_utils::form_map;

TEST(ParseFormAndInt, DecodeBodiesAsBrowsersSendThemAndReadIntegersLikeStoi) {
    const struct { const char* body; form_map expected; } cases[] = {
        {"a=1&b=2", {{"a", "1"}, {"b", "2"}}}, {"a=1&a=2", {{"a", "2"}}}, {"a=x%2By+z", {{"a", "x+y z"}}},
        {"a=%41%6a", {{"a", "Aj"}}}, {"a=50%", {{"a", "50%"}}}, {"a=%zz", {{"a", "%zz"}}}, {"a=%4", {{"a", "%4"}}},
        {"a=%4%41", {{"a", "%4A"}}}, {"a=%%41", {{"a", "%A"}}},  // a lone "%" consumes only itself
        {"&&a=1&", {{"a", "1"}}}, {"flag&a=1", {{"a", "1"}}}, {"=v", {}}, {"%=v", {{"%", "v"}}}, {"+=v", {{" ", "v"}}},
        {"a=", {{"a", ""}}}, {"a=b=c", {{"a", "b=c"}}}, {"&&a=1&flag&a=b=c", {{"a", "b=c"}}}, {"", {}},
        {"a%3Db=c", {{"a=b", "c"}}},  // an encoded "=" belongs to the key
        {"k=%00%ff", {{"k", std::string("\0\xff", 2)}}},  // bytes, not checked as UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(text_utils::parse_form(c.body), c.expected) << c.body;
    const struct { const char* text; std::optional<int> expected; } ints[] = {
        {"45", 45},           {" 45", 45},          {"\t\n45", 45},       {"45s", 45},
        {"0x10", 0},          {"+7", 7},            {"-7", -7},           {"007", 7},
        {"2147483647", INT_MAX},                    {"-2147483648", INT_MIN},
        {"2147483648", std::nullopt},               {"-2147483649", std::nullopt},
        {"99999999999", std::nullopt},              {"123456789012345678901234567890", std::nullopt},
        {"abc", std::nullopt}, {"", std::nullopt},  {" ", std::nullopt},  {"-", std::nullopt},
        {"+-1", std::nullopt}, {"- 1", std::nullopt}, {"x45", std::nullopt},
    };
    for (const auto& c : ints) EXPECT_EQ(text_utils::parse_int(c.text), c.expected) << c.text;
}

TEST(FormatUptime, DaysOnlyFromOneFullDay) {
    const struct { std::int64_t seconds; const char* expected; } cases[] = {
        {0, "0h0m"},     {-5, "0h0m"},       {59, "0h0m"},       {60, "0h1m"},          {3599, "0h59m"},
        {3600, "1h0m"},  {86399, "23h59m"},  {86400, "1d0h0m"},  {90061, "1d1h1m"},
        {INT64_MIN, "0h0m"}, {10LL * 86400 + 7200, "10d2h0m"},
    };
    for (const auto& c : cases) EXPECT_EQ(text_utils::format_uptime(c.seconds), c.expected) << c.seconds;
}

TEST(LogLines, ControlBytesCannotStartARecordAndLongLinesAreCut) {
    EXPECT_EQ(text_utils::escape_for_log("a\r\nb"), "a\\x0d\\nb");
    EXPECT_EQ(text_utils::escape_for_log(std::string("\0\t\x1f\x7f", 4)), "\\x00\\x09\\x1f\\x7f");
    EXPECT_EQ(text_utils::escape_for_log("a\\nb"), "a\\\\nb");  // a literal backslash-n is not a line feed
    EXPECT_EQ(text_utils::escape_for_log("caf\xc3\xa9 ok"), "caf\xc3\xa9 ok");  // the rest as it is
    std::istringstream in("abcdef\nxyz\n\nabc\nend");
    std::vector<std::string> lines;
    for (std::string line; text_utils::read_bounded_line(in, line, 3);) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"abc [line truncated]", "xyz", "", "abc", "end"}));
    std::istringstream empty("");
    std::string line = "stale";
    EXPECT_FALSE(text_utils::read_bounded_line(empty, line, 3));
    EXPECT_EQ(line, "");
}
