#include "api/api_json.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using nlohmann::json;

namespace {

struct end_counter : httpd::response_sink {
    int ends = 0;
    void on_response_ended() override { ++ends; }
};

struct body_collector {
    std::shared_ptr<end_counter> counter = std::make_shared<end_counter>();
    httpd::response_ptr res = std::make_shared<httpd::http_response>(counter);
    int& ends = counter->ends;
    std::string body;
    bool rejected = false;
    bool feed(std::size_t size) { return api_json::accumulate_body(body, std::string(size, 'x'), rejected, res); }
};

}  // namespace

TEST(ApiJson, CompactSortedInvalidUtf8ReplacedAndBodiesLimitedTo8192Bytes) {
    EXPECT_EQ(api_json::compact(json{{"b", 1}, {"a", "\xff"}}), "{\"a\":\"\xEF\xBF\xBD\",\"b\":1}");
    EXPECT_EQ(api_json::compact(json{{"t", "caf\xc3\xa9"}, {"l", {1, true, nullptr}}}),
              "{\"l\":[1,true,null],\"t\":\"caf\xc3\xa9\"}");  // valid UTF-8 is kept, not escaped
    EXPECT_EQ(api_json::error_json("Payload too large"), R"({"error":"Payload too large"})");
    EXPECT_EQ(api_json::error_json("say \"hi\"\n\xc0"), "{\"error\":\"say \\\"hi\\\"\\n\xEF\xBF\xBD\"}");
    const struct { std::vector<std::size_t> chunks; bool fits; } cases[] = {
        {{8192}, true}, {{1, 8191}, true}, {{4096, 4095, 1}, true}, {{0, 8192, 0}, true},
        {{8193}, false}, {{8192, 1}, false}, {{100, 8000, 93}, false}, {{9000, 1, 1}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.chunks));
        body_collector b;
        bool accepted = true;
        for (std::size_t size : c.chunks) accepted = b.feed(size);
        EXPECT_EQ(accepted, c.fits);
        EXPECT_EQ(b.rejected, !c.fits);
        if (c.fits) {
            EXPECT_EQ(b.body.size(), 8192u);
            EXPECT_FALSE(b.res->ended());
            continue;
        }
        const std::size_t kept = b.body.size();
        EXPECT_FALSE(b.feed(0));  // a later (even empty) chunk of a refused body is ignored
        EXPECT_FALSE(b.feed(1));
        EXPECT_EQ(b.body.size(), kept);
        EXPECT_EQ(b.ends, 1);  // headers and body of the 413 are checked over the socket
        std::string head;
        b.res->append_head(false, head);
        EXPECT_EQ(head.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u);
    }
}
