#include "http/session_output.hpp"

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using httpd::session_output;
using step = session_output::step;

// The bytes one gathered write would send, and how many buffers it uses.
std::string gathered(const session_output& out, std::size_t* used = nullptr) {
    std::string text;
    std::size_t count = 0;
    for (const auto& b : out.gather()) {
        if (b.size() == 0) continue;
        ++count;
        text.append(static_cast<const char*>(b.data()), b.size());
    }
    if (used) *used = count;
    return text;
}

// Writes everything as a socket taking at most `per_write` bytes a time would.
std::string drain(session_output& out, std::size_t per_write) {
    std::string sent;
    for (step s = out.next_step(); s == step::write_now || s == step::write_later; s = out.next_step()) {
        const std::string next = gathered(out).substr(0, per_write);
        sent += next, out.consume(next.size());
    }
    return sent;
}

TEST(SessionOutput, GathersPiecesThenTheBodyAndResumesWhereAWriteStopped) {
    const std::string cont = "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string head = "HEAD\r\n\r\n";
    const std::string body = "the body held by its response";
    session_output out;
    for (const auto& piece : {cont, head}) out.push_copy(piece);
    out.set_body(body, nullptr, body.size());
    std::size_t used = 0;
    EXPECT_EQ(gathered(out, &used), cont + head + body);
    EXPECT_EQ(used, 3u);
    EXPECT_EQ(out.next_step(), step::write_now);

    // A write that stops inside a piece, then inside the body.
    const auto left_after = [&out](std::size_t sent) { return out.consume(sent), gathered(out); };
    EXPECT_EQ(left_after(cont.size() + 2), head.substr(2) + body);
    EXPECT_EQ(left_after(head.size() - 2 + 4), body.substr(4));
    EXPECT_EQ(left_after(body.size() - 4), "");
    EXPECT_TRUE(out.idle());
    EXPECT_EQ(out.next_step(), step::idle);
    EXPECT_EQ(out.sent_bytes(), cont.size() + head.size() + body.size());

    // More pieces than one write takes: the body waits until all before it fit.
    for (int i = 0; i < 5; ++i) out.push_copy(std::string(1, char('a' + i)));
    out.set_body("BODY", nullptr, 4);
    EXPECT_EQ(gathered(out, &used), "abc");
    EXPECT_EQ(used, session_output::MAX_GATHER - 1);
    EXPECT_EQ(drain(out, 2), "abcdeBODY");
    EXPECT_TRUE(out.idle());
}

// A shared body's suffix ("}" after a kept report) follows it wherever a write ends.
TEST(SessionOutput, TheSuffixFollowsTheBodyWhereverAWriteStops) {
    for (const std::size_t per_write : {1u, 3u, 7u, 100u}) {
        session_output out;
        out.push_copy("HEAD{");
        out.set_body("\"report\"", nullptr, 9, "}");
        EXPECT_EQ(drain(out, per_write), "HEAD{\"report\"}") << per_write;
        EXPECT_TRUE(out.idle());
    }
    // Three pieces take the slots before the body: the suffix waits for the next write.
    session_output out;
    for (const char* piece : {"a", "b", "c"}) out.push_copy(piece);
    out.set_body("BODY", nullptr, 4, "!");
    EXPECT_EQ(gathered(out), "abcBODY");
    out.consume(7);
    EXPECT_EQ(gathered(out), "!");
    out.consume(1);
    EXPECT_TRUE(out.idle());
}

TEST(SessionOutput, StreamedBodyIsReadPieceByPieceOnlyWhenAllBeforeItIsSent) {
    const std::size_t length = 2 * session_output::STREAM_PIECE_BYTES + 10;
    std::vector<std::size_t> asked;
    std::uint64_t given = 0;
    session_output out;
    out.push_copy("HEAD");
    out.set_body({}, [&asked, &given](char* buffer, std::size_t capacity) {
        asked.push_back(capacity), given += capacity;
        return std::fill(buffer, buffer + capacity, 'x'), capacity;
    }, length);
    const auto after = [&out](std::size_t sent) { return out.consume(sent), out.next_step(); };

    // The head waits for the loop like the body behind it, and nothing is read while it is unsent.
    EXPECT_EQ(out.next_step(), step::write_later);
    EXPECT_EQ(after(2), step::write_later);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(after(2), step::write_later);
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_EQ(gathered(out).size(), session_output::STREAM_PIECE_BYTES);
    EXPECT_EQ(out.queued_bytes(), session_output::STREAM_PIECE_BYTES);  // all a download holds

    // The last piece asks for no more than is owed; once it is read the rest is held in memory and goes out at once.
    EXPECT_EQ(after(session_output::STREAM_PIECE_BYTES), step::write_later);
    EXPECT_EQ(after(session_output::STREAM_PIECE_BYTES), step::write_now);
    EXPECT_EQ(asked, (std::vector<std::size_t>{session_output::STREAM_PIECE_BYTES,
                                               session_output::STREAM_PIECE_BYTES, 10}));
    EXPECT_EQ(after(10), step::idle);
    EXPECT_EQ(given, length);
}

TEST(SessionOutput, StreamThatRunsDryOrThrowsBreaksTheAnswerAndAnEmptyOneIsNeverRead) {
    for (const bool throws : {false, true}) {
        int calls = 0;
        session_output out;
        out.set_body({}, [&calls, throws](char*, std::size_t capacity) -> std::size_t {
            if (++calls == 1) return capacity / 2;
            if (throws) throw std::runtime_error("file gone");
            return 0;
        }, 1000);
        EXPECT_EQ(out.next_step(), step::write_later);
        out.consume(500);
        EXPECT_EQ(out.next_step(), step::broken) << throws;
        out.drop_stream();
        EXPECT_TRUE(out.idle());
    }
    bool asked = false;
    session_output empty;
    empty.set_body({}, [&asked](char*, std::size_t) -> std::size_t { return asked = true, 0; }, 0);
    EXPECT_FALSE(empty.idle());
    EXPECT_EQ(empty.next_step(), step::idle);
    EXPECT_TRUE(empty.idle());
    EXPECT_FALSE(asked);
}

}  // namespace
