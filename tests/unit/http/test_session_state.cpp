#include "http/session_input.hpp"
#include "http/session_state.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using httpd::session_event;
using httpd::session_state;
using namespace std::chrono_literals;
using time_point = httpd::session_clock::time_point;

// The states a connection goes through for `events`.
std::vector<session_state> walk(std::vector<session_event> events, bool keep_alive) {
    std::vector<session_state> states{session_state::header};
    for (const session_event e : events) states.push_back(httpd::next_state(states.back(), e, keep_alive));
    return states;
}

using S = session_state;
using E = session_event;

TEST(SessionState, RequestIsOverOnlyWhenItsBodyIsReadAndItsAnswerSent) {
    // An answer out before the body is read (a 413) leaves the body to arrive.
    EXPECT_EQ(walk({E::header_read, E::answer_sent, E::body_read, E::answer_sent}, true),
              (std::vector<S>{S::header, S::body, S::body, S::answering, S::header}));
    EXPECT_EQ(walk({E::header_read, E::body_abandoned, E::answer_sent, E::answer_sent}, false),
              (std::vector<S>{S::header, S::body, S::answering, S::lingering, S::lingering}));
    // Malformed input is answered from either reading state, never twice.
    EXPECT_EQ(walk({E::malformed, E::malformed, E::header_read}, false),
              (std::vector<S>{S::header, S::answering, S::answering, S::answering}));
    EXPECT_EQ(walk({E::header_read, E::malformed}, true), (std::vector<S>{S::header, S::body, S::answering}));
    // Nothing is read or answered after the end.
    for (const S from : {S::header, S::body, S::answering, S::lingering, S::closed})
        EXPECT_EQ(httpd::next_state(from, E::failed, true), S::closed);
    for (const E e : {E::header_read, E::body_read, E::body_abandoned, E::malformed, E::answer_sent})
        EXPECT_EQ(httpd::next_state(S::closed, e, true), S::closed);
    EXPECT_EQ(httpd::next_state(S::lingering, E::header_read, true), S::lingering);
}

TEST(SessionState, CloseDeadlineWaitsOnlyOnTheClient) {
    const time_point t{100s};
    // Preparing an answer (a NetBird command) has no limit; writing it waits on the client reading it.
    EXPECT_EQ(httpd::close_deadline(S::answering, false, t, t + 1s), std::nullopt);
    EXPECT_EQ(httpd::close_deadline(S::answering, true, t, t + 1s), t + httpd::IDLE_TIMEOUT);
    EXPECT_EQ(httpd::close_deadline(S::closed, true, t, std::nullopt), std::nullopt);
    // A request trickling in is held to its arrival deadline when that comes first.
    EXPECT_EQ(httpd::close_deadline(S::header, false, t, std::nullopt), t + httpd::IDLE_TIMEOUT);
    EXPECT_EQ(httpd::close_deadline(S::body, true, t, t + 4s), t + 4s);
    EXPECT_EQ(httpd::close_deadline(S::body, false, t, t + 40s), t + httpd::IDLE_TIMEOUT);
    EXPECT_EQ(httpd::close_deadline(S::lingering, false, t, std::nullopt), t + httpd::LINGER_TIMEOUT);
}

TEST(SessionState, ArrivalAllowsGracePlusTimeAtTheMinimumRateAndProgressIsPerSecond) {
    const time_point t{100s};
    EXPECT_EQ(httpd::arrival_deadline(t, 0), t + httpd::REQUEST_ARRIVAL_GRACE);
    EXPECT_EQ(httpd::arrival_deadline(t, 2048), t + httpd::REQUEST_ARRIVAL_GRACE + 2s);
    EXPECT_DOUBLE_EQ(httpd::progress_rate(t, 200, t + 2s), 100);
    EXPECT_DOUBLE_EQ(httpd::progress_rate(std::nullopt, 200, t + 2s), 0);
    EXPECT_DOUBLE_EQ(httpd::progress_rate(t, 1, t), 1000);  // begun this instant: not infinitely fast
}

TEST(SessionInput, PipelinedInputPausesReadingAndTheClockStartsAtARequestsFirstByte) {
    httpd::session_input input(4096);
    EXPECT_TRUE(input.wants_read());
    input.read_started();
    EXPECT_FALSE(input.wants_read());  // one read at a time
    input.read_ended();
    EXPECT_EQ(input.next(), httpd::request_input::event::more_input);
    EXPECT_EQ(input.started(), std::nullopt);
    EXPECT_EQ(input.due(), std::nullopt);

    const std::string request = "GET /api/config HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string pipelined;
    // More than the pause point is left once the first request is taken.
    while (pipelined.size() <= httpd::session_input::MAX_BUFFERED_BYTES + request.size()) pipelined += request;
    const auto space = input.read_space();
    for (std::size_t fed = 0, n = 0; fed < pipelined.size(); fed += n) {
        n = std::min(space.size(), pipelined.size() - fed);
        std::copy_n(pipelined.data() + fed, n, static_cast<char*>(space.data()));
        input.append_read(n);
    }
    EXPECT_EQ(input.next(), httpd::request_input::event::header);
    ASSERT_TRUE(input.started());
    EXPECT_EQ(input.due(), httpd::arrival_deadline(*input.started(), request.size()));
    EXPECT_EQ(input.next(), httpd::request_input::event::body_end);
    EXPECT_EQ(input.next(), httpd::request_input::event::held);
    EXPECT_FALSE(input.wants_read());  // the rest waits for the answer

    input.next_request();
    EXPECT_EQ(input.started(), std::nullopt);
    EXPECT_EQ(input.next(), httpd::request_input::event::header);
    EXPECT_TRUE(input.started());
    input.discard();
    EXPECT_EQ(input.started(), std::nullopt);
    EXPECT_TRUE(input.wants_read());  // a lingering connection reads to drop
    EXPECT_EQ(input.next(), httpd::request_input::event::held);
}

}  // namespace
