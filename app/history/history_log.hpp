#pragma once
// The connection history on the flash: what happened to the tunnel, one
// event per line (compact JSON) in an append-only file of the data directory.
//
// Durable and bounded: a line is appended with one write, and the file is
// flushed to the flash at most every SYNC_INTERVAL (a power cut loses at most
// the last seconds); a torn last line (power cut, kill -9 in the middle of a
// write) or a line that is no event is skipped on reading and the torn tail
// cut off, never fatal. Past MAX_BYTES the oldest half is dropped (the file is
// replaced whole, through a temporary file). Nothing is written while
// nothing happens.
//
// Used on the event-loop thread only (and by start-up before it runs).

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>

// When something happened: on the wall clock (UTC ms), and on the boot clock
// of the boot it happened in (ms since that boot), which no setting of the
// wall clock moves.
struct moment {
    std::int64_t time = 0;
    std::string boot;          // the boot's id; empty when unknown
    std::int64_t uptime = -1;  // -1 when unknown
};

struct history_event {
    std::uint64_t id = 0;    // increasing: the order of events, whatever the clock did
    std::int64_t time = 0;   // UTC, milliseconds since 1970
    std::string kind;
    std::string text;
    nlohmann::json facts = nlohmann::json::object();
    std::string boot;
    std::int64_t uptime = -1;
};

// Now, on both clocks.
moment moment_now();

class history_log {
public:
    static constexpr std::size_t MAX_BYTES = 1024 * 1024;
    static constexpr auto SYNC_INTERVAL = std::chrono::seconds(10);

    explicit history_log(std::filesystem::path file, std::size_t max_bytes = MAX_BYTES);
    ~history_log();
    history_log(const history_log&) = delete;
    history_log& operator=(const history_log&) = delete;

    // Reads what the file holds (skipping what is no event) and opens it for
    // appending. Without a file the history starts empty.
    void load();
    // Records an event at `when`; the file is synced when due.
    const history_event& append(std::string kind, std::string text, nlohmann::json facts, const moment& when);
    // Flushes what was appended to the flash, when the last flush is older than SYNC_INTERVAL (or `now_too`).
    void sync(bool now_too = false);

    const std::deque<history_event>& events() const { return m_events; }

private:
    void open_for_append();
    void compact();
    // Numbers the loaded events again from 1 (their ids left no room) and writes them back.
    void renumber();
    // Writes the whole of `text` at the file's end, or leaves the file as it was.
    bool append_line(const std::string& text);

    std::filesystem::path m_file;
    std::size_t m_max_bytes;
    std::deque<history_event> m_events;
    std::deque<std::size_t> m_line_bytes;  // of each event's line, to know what half the file is
    std::size_t m_bytes = 0;  // in the file as well as in memory
    std::uint64_t m_next_id = 1;
    int m_fd = -1;
    bool m_dirty = false;
    std::chrono::steady_clock::time_point m_synced{};
};

// One event as its line of the file, without the line feed.
// Example: {id 3, time 1765072800000, "command", "Disconnect: done", {}, boot "1f2e", uptime 5000} ->
//   {"boot":"1f2e","facts":{},"id":3,"kind":"command","text":"Disconnect: done","time":1765072800000,"uptime":5000}
std::string history_line(const history_event& event);
// The event of a line, or nothing when the line is torn or no event: an id
// of 2^53 or more (past what a browser reads exactly), a time outside 1970 to
// 9999 or an uptime outside 0 to a thousand years is no clock's or count's.
// Example: {"facts":{},"id":1,"kind":"k","text":"t","time":-9223372036854775808} -> nothing.
std::optional<history_event> parse_history_line(std::string_view line);
