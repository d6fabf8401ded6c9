#include "http/answer_memory.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;

TEST(AnswerMemory, ASharedTextCountsOnceAndTheReadersThatMadeTheLeastProgressGoFirst) {
    const std::string old_text(2000, 'o'), text(3000, 'n');
    const httpd::held_answer a{300, old_text}, b{400, old_text}, c{1000, {}}, d{500, text};
    httpd::answer_memory memory;
    for (const auto& held : {a, b, c, d}) memory.add(held);
    memory.note_newest(text.data());
    EXPECT_EQ(memory.total(), 2200u + 2000);
    memory.remove(a);
    EXPECT_EQ(memory.total(), 1900u + 2000);
    memory.remove(b);
    EXPECT_EQ(memory.total(), 1500u);
    memory.note_newest(old_text.data());  // once another text is the newest, this one costs its size
    EXPECT_EQ(memory.total(), 1500u + 3000);
    const auto t = httpd::session_clock::now();
    const std::string old_answer(1200, 'o'), newest(2000, 'n');
    const auto reader = [t](std::uint64_t own, std::string_view shared, double rate, auto idle) {
        return httpd::answer_reader{{own, shared}, rate, t - idle};
    };
    const auto drop = [&newest](const std::vector<httpd::answer_reader>& readers, std::uint64_t bound) {
        return httpd::readers_to_drop(readers, newest.data(), bound);
    };
    EXPECT_TRUE(drop({reader(600, {}, 1e3, 0s), reader(400, {}, 1e3, 0s)}, 1000).empty());
    // The slowest first, and no more than needed; on equal progress the one idle longest.
    EXPECT_EQ(drop({reader(600, {}, 5e4, 0s), reader(600, {}, 1e3, 0s), reader(600, {}, 1e3, 3s)}, 1000),
              (std::vector<std::size_t>{2, 1}));
    // An old newest goes only with its last reader, so its readers go together, as quick as the quicker;
    // the newest one, kept by the application anyway, costs its readers nothing, and they stay.
    const std::vector<httpd::answer_reader> readers = {reader(0, old_answer, 1e3, 0s), reader(100, {}, 5e2, 0s),
                                                       reader(0, old_answer, 2e3, 0s), reader(0, newest, 1e2, 0s),
                                                       reader(0, newest, 9e5, 0s)};
    EXPECT_EQ(drop(readers, 1000), (std::vector<std::size_t>{1, 0, 2}));
    EXPECT_EQ(drop(readers, 1200), (std::vector<std::size_t>{1}));
    // Readers that free little go last, even when slower: here one of 2 bytes before one of 800.
    EXPECT_EQ(drop({reader(2, {}, 1e1, 0s), reader(800, {}, 1e3, 0s), reader(600, {}, 1e4, 0s)}, 1000),
              (std::vector<std::size_t>{1}));
}
