#include "history/history_log.hpp"

#include "core/file_sync.hpp"
#include "core/regular_file.hpp"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t HISTORY_FILE_MODE = 0644;
constexpr const char* BOOT_ID_FILE = "/proc/sys/kernel/random/boot_id";
constexpr std::size_t BOOT_ID_CHARS = 8;
// What a stored line may say; outside it the line is no event (planted or
// corrupted), whatever it parses as. Times from 1970 to the end of 9999 (UTC
// ms); uptimes under a thousand years.
constexpr std::int64_t MIN_EVENT_TIME_MS = 0;
constexpr std::int64_t MAX_EVENT_TIME_MS = 253402300799999;  // 9999-12-31T23:59:59.999Z
constexpr std::int64_t MAX_UPTIME_MS = 1000LL * 365 * 24 * 3600 * 1000;
// Ids stay below 2^53, the largest integer a browser reads exactly. A file
// whose ids leave less room than 2^52 more events (a hundred million years
// at one a second: planted or corrupted) is numbered again from 1 when
// loaded, so the next id can neither wrap nor pass what is read back.
constexpr std::uint64_t MAX_STORED_ID = (std::uint64_t{1} << 53) - 1;
constexpr std::uint64_t RENUMBER_ABOVE_ID = std::uint64_t{1} << 52;
constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;

// An integer member within [low, high] (high not negative), or nothing.
std::optional<std::int64_t> integer_within(const nlohmann::json& value, std::int64_t low, std::int64_t high) {
    // Read as signed, 2^64 - 1 would pass for -1.
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(high))
        return std::nullopt;
    if (!value.is_number_integer()) return std::nullopt;
    const auto n = value.get<std::int64_t>();
    if (n < low || n > high) return std::nullopt;
    return n;
}

}  // namespace

moment moment_now() {
    static const std::string boot = [] {
        std::ifstream in(BOOT_ID_FILE);
        std::string id;
        std::getline(in, id);
        return id.substr(0, BOOT_ID_CHARS);
    }();
    timespec up{};
    ::clock_gettime(CLOCK_BOOTTIME, &up);
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    return {std::chrono::duration_cast<std::chrono::milliseconds>(wall).count(), boot,
            static_cast<std::int64_t>(up.tv_sec) * 1000 + up.tv_nsec / 1000000};
}

std::string history_line(const history_event& event) {
    nlohmann::json line = {
        {"facts", event.facts}, {"id", event.id}, {"kind", event.kind}, {"text", event.text}, {"time", event.time}};
    if (!event.boot.empty() && event.uptime >= 0) {
        line["boot"] = event.boot;
        line["uptime"] = event.uptime;
    }
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<history_event> parse_history_line(std::string_view line) {
    const auto value = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (!value.is_object()) return std::nullopt;
    const auto id = value.find("id");
    const auto time = value.find("time");
    const auto kind = value.find("kind");
    const auto text = value.find("text");
    const auto facts = value.find("facts");
    if (id == value.end() || !id->is_number_unsigned() || id->get<std::uint64_t>() > MAX_STORED_ID ||
        time == value.end() || kind == value.end() || !kind->is_string() || text == value.end() ||
        !text->is_string() || facts == value.end() || !facts->is_object())
        return std::nullopt;
    const auto when = integer_within(*time, MIN_EVENT_TIME_MS, MAX_EVENT_TIME_MS);
    if (!when) return std::nullopt;
    history_event event{id->get<std::uint64_t>(), *when, kind->get<std::string>(), text->get<std::string>(), *facts,
                        {}, -1};
    const auto boot = value.find("boot");
    const auto uptime = value.find("uptime");
    if (boot != value.end() && boot->is_string() && uptime != value.end() && uptime->is_number_integer()) {
        const auto up = integer_within(*uptime, 0, MAX_UPTIME_MS);
        if (!up) return std::nullopt;
        event.boot = boot->get<std::string>();
        event.uptime = *up;
    }
    return event;
}

history_log::history_log(std::filesystem::path file, std::size_t max_bytes)
    : m_file(std::move(file)), m_max_bytes(max_bytes) {}

history_log::~history_log() {
    if (m_fd >= 0) ::close(m_fd);
}

void history_log::load() {
    m_events.clear();
    m_line_bytes.clear();
    m_bytes = 0;
    // Never through a link planted in its place (that could cut another file),
    // never waiting on a pipe: the history then starts empty, and its first
    // compaction puts a regular file there.
    const auto opened = regular_file::open(m_file, O_RDWR);
    if (opened.why != regular_file::refusal::none && opened.why != regular_file::refusal::missing)
        spdlog::warn("Ignored {}: {}", m_file.string(), regular_file::describe(opened.why));
    if (const int fd = opened.fd; fd >= 0) {
        std::string text;
        bool complete = true;
        std::string buffer(READ_CHUNK_BYTES, '\0');
        while (true) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) complete = false;
            if (n <= 0) break;
            text.append(buffer.data(), static_cast<std::size_t>(n));
        }
        std::size_t whole_lines = 0;  // bytes up to the last line feed
        for (std::size_t start = 0;;) {
            const auto lf = text.find('\n', start);
            if (lf == std::string::npos) break;
            whole_lines = lf + 1;
            if (auto event = parse_history_line(std::string_view(text).substr(start, lf - start));
                event && event->id >= m_next_id) {
                m_next_id = event->id + 1;
                m_line_bytes.push_back(lf + 1 - start);
                m_bytes += lf + 1 - start;
                m_events.push_back(std::move(*event));
            }
            start = lf + 1;
        }
        // A torn last line is cut off, so the next event starts a line of its
        // own; lines that are no events stay (they count only on the flash).
        if (complete) ::ftruncate(fd, static_cast<off_t>(whole_lines));
        m_bytes = complete ? whole_lines : text.size();
        ::close(fd);
    }
    if (m_next_id > RENUMBER_ABOVE_ID) renumber();
    open_for_append();
}

void history_log::renumber() {
    spdlog::warn("History ids in {} leave no room: numbered again from 1", m_file.string());
    m_next_id = 1;
    std::string text;
    m_line_bytes.clear();
    for (history_event& event : m_events) {
        event.id = m_next_id++;
        const std::size_t before = text.size();
        text.append(history_line(event)).append("\n");
        m_line_bytes.push_back(text.size() - before);
    }
    // Memory has the new ids either way: the file follows, or the next
    // compaction writes them.
    if (file_sync::replace_file(m_file, text) != file_sync::replaced::no) m_bytes = text.size();
}

void history_log::open_for_append() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = regular_file::open(m_file, O_WRONLY | O_APPEND | O_CREAT, HISTORY_FILE_MODE).fd;
}

const history_event& history_log::append(std::string kind, std::string text, nlohmann::json facts,
                                         const moment& when) {
    if (!facts.is_object()) facts = nlohmann::json::object();
    history_event event{m_next_id++, when.time, std::move(kind), std::move(text), std::move(facts), when.boot,
                        when.uptime};
    const std::string line = history_line(event) + "\n";
    m_events.push_back(std::move(event));
    m_line_bytes.push_back(line.size());
    if (m_bytes + line.size() > m_max_bytes || !append_line(line)) {
        compact();
    } else {
        m_bytes += line.size();
        m_dirty = true;
        sync();
    }
    return m_events.back();
}

bool history_log::append_line(const std::string& text) {
    if (m_fd < 0) return false;
    std::string_view rest(text);
    while (!rest.empty()) {
        const ssize_t n = ::write(m_fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Half a line would join the next one: what was written goes.
            if (rest.size() != text.size()) ::ftruncate(m_fd, static_cast<off_t>(m_bytes));
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void history_log::compact() {
    // The newest events that fill at most half the bound stay.
    std::size_t kept_bytes = 0;
    std::size_t kept = 0;
    for (auto it = m_line_bytes.rbegin(); it != m_line_bytes.rend() && kept_bytes + *it <= m_max_bytes / 2; ++it) {
        kept_bytes += *it;
        ++kept;
    }
    std::string text;
    text.reserve(kept_bytes);
    for (auto it = m_events.end() - static_cast<std::ptrdiff_t>(kept); it != m_events.end(); ++it)
        text.append(history_line(*it)).append("\n");
    // Until the file is replaced, memory keeps what the file has (a failed
    // write leaves the last event in memory only, until the next compaction).
    if (file_sync::replace_file(m_file, text) == file_sync::replaced::no) return;
    while (m_events.size() > kept) {
        m_events.pop_front();
        m_line_bytes.pop_front();
    }
    m_bytes = kept_bytes;
    open_for_append();
    m_dirty = false;
    m_synced = std::chrono::steady_clock::now();
}

void history_log::sync(bool now_too) {
    if (!m_dirty || m_fd < 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!now_too && now - m_synced < SYNC_INTERVAL) return;
    ::fdatasync(m_fd);
    m_dirty = false;
    m_synced = now;
}
