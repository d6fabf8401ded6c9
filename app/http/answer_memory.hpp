#pragma once
// The memory that answers still waiting for their readers hold, and which
// readers are dropped when it is too much. A client that reads slowly keeps
// its whole answer in memory until the last byte is sent; a large status
// answer keeps the snapshot it is written from alive after the next poll has
// replaced it. Without a bound, a few clients reading a few kilobytes a
// second would grow the process by a snapshot every poll.
//
// What counts:
//   - an answer's own buffers (its head, its body, the piece of a streamed
//     file on its way out: a download holds one piece, never its file);
//   - the shared text it is written from, once however many answers share
//     it: that is what memory holds. The newest shared text is not counted:
//     the application keeps it for the next answers anyway (its current
//     status snapshot), so readers of it add nothing. Older ones live only
//     because some reader still holds them, and each costs its whole size
//     until its last reader is done. The frame cannot see whether the
//     application still keeps the newest one, so at most one snapshot more
//     than counted can be alive.

#include "http/session_state.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace httpd {

// Memory held for unsent answers, at most; beyond it the readers that make
// the least progress are dropped until it is within again.
constexpr std::uint64_t MAX_HELD_ANSWER_BYTES = 16 * 1024 * 1024;

// What one connection's unsent answer holds.
struct held_answer {
    std::uint64_t own_bytes = 0;
    std::string_view shared;  // the shared text it is written from, if any (only its address and size count)

    bool empty() const { return own_bytes == 0 && shared.empty(); }
    bool operator==(const held_answer& other) const {
        return own_bytes == other.own_bytes && shared.data() == other.shared.data() &&
               shared.size() == other.shared.size();
    }
    bool operator!=(const held_answer& other) const { return !(*this == other); }
};

// The tally of every connection's held_answer, kept as answers come and go
// so that nothing is summed per request.
// Example: own 300 + shared S (2 MB), own 400 + shared S, own 1 MB, with S
//   the newest -> 1 MB + 700; once a later answer is written from another
//   text -> 3 MB + 700 (S counted once).
class answer_memory {
public:
    void add(const held_answer& answer);
    void remove(const held_answer& answer);
    // The shared text the latest answer is written from.
    void note_newest(const char* shared) { m_newest = shared; }
    const char* newest() const { return m_newest; }
    std::uint64_t total() const;

private:
    struct shared_text {
        const char* data;
        std::uint64_t bytes;
        std::size_t holders;
    };
    std::uint64_t m_own = 0;
    std::vector<shared_text> m_shared;  // a few at most: one per status snapshot still being sent
    const char* m_newest = nullptr;
};

// A connection whose answer waits for its reader.
struct answer_reader {
    held_answer held;
    double progress_rate = 0;  // bytes per second for its request so far (progress_rate in session_state.hpp)
    session_clock::time_point last_activity{};
};

// Which readers to drop (indexes into `readers`) so that what they hold is
// within `bound`: the one that has made the least progress first (on equal
// progress the one idle longest), then the next, until it is within. A
// shared text is freed with its last reader, so its readers go together,
// ranked by the quickest of them; `newest` is not counted, and a reader that
// holds only it frees nothing and stays. Readers that free less than a
// 256th of the bound go only when the others were not enough.
// Example: bound 10 MB; A (own 6 MB, 1 kB/s), B (own 6 MB, 50 kB/s) -> [A].
// Example: bound 10 MB; A and B share old text T (12 MB) at 1 and 2 kB/s, C
//   (own 1 MB, 0.5 kB/s), D (the newest text only, 0.1 kB/s) -> [C, A, B].
std::vector<std::size_t> readers_to_drop(const std::vector<answer_reader>& readers, const char* newest,
                                         std::uint64_t bound);

}  // namespace httpd
