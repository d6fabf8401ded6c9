#include "http/byte_range.hpp"

#include <gtest/gtest.h>

using httpd::byte_range;
using httpd::parse_byte_range;

TEST(ByteRange, OneRangeOrTheWholeFile) {
    using k = byte_range::kind;
    const struct { const char* header; std::uint64_t size; k what; std::uint64_t first, last; } cases[] = {
        {"bytes=40-", 100, k::partial, 40, 99},       {"bytes=10-19", 100, k::partial, 10, 19},
        {"bytes=10-500", 100, k::partial, 10, 99},    {"bytes=-30", 100, k::partial, 70, 99},
        {"bytes=-300", 100, k::partial, 0, 99},       {"bytes=99-", 100, k::partial, 99, 99},
        {"bytes=100-", 100, k::unsatisfiable, 0, 0}, {"bytes=0-", 0, k::unsatisfiable, 0, 0},
        {"", 100, k::whole, 0, 0},                     {"bytes=0-1,5-6", 100, k::whole, 0, 0},
        {"items=1-2", 100, k::whole, 0, 0},            {"bytes=5-2", 100, k::whole, 0, 0},
        {"bytes=x-", 100, k::whole, 0, 0},             {"bytes=-0", 100, k::whole, 0, 0},
        {"bytes=99999999999999999999-", 100, k::whole, 0, 0},
    };
    for (const auto& c : cases) {
        const auto r = parse_byte_range(c.header, c.size);
        EXPECT_EQ(r.what, c.what) << c.header;
        if (c.what == k::partial) {
            EXPECT_EQ(std::make_pair(r.first, r.last), std::make_pair(c.first, c.last)) << c.header;
        }
    }
}
