#include "history_log.hpp"

#include "file_sync.hpp"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t HISTORY_FILE_MODE = 0644;

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string history_line(const history_event& event) {
    const nlohmann::json line = {
        {"facts", event.facts}, {"id", event.id}, {"kind", event.kind}, {"text", event.text}, {"time", event.time}};
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
    if (id == value.end() || !id->is_number_unsigned() || time == value.end() || !time->is_number_integer() ||
        kind == value.end() || !kind->is_string() || text == value.end() || !text->is_string() ||
        facts == value.end() || !facts->is_object())
        return std::nullopt;
    return history_event{id->get<std::uint64_t>(), time->get<std::int64_t>(), kind->get<std::string>(),
                         text->get<std::string>(), *facts};
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
    std::size_t whole_lines = 0;  // bytes up to the last line feed
    {
        std::ifstream in(m_file, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t start = 0;
        while (true) {
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
    }
    // A torn last line is cut off, so the next event starts a line of its own.
    if (::truncate(m_file.c_str(), static_cast<off_t>(whole_lines)) != 0 && errno != ENOENT) {
        // A file that cannot be cut is rewritten whole at the next compaction.
    }
    open_for_append();
}

void history_log::open_for_append() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = ::open(m_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, HISTORY_FILE_MODE);
}

const history_event& history_log::append(std::string kind, std::string text, nlohmann::json facts, std::int64_t time) {
    if (!facts.is_object()) facts = nlohmann::json::object();
    history_event event{m_next_id++, time, std::move(kind), std::move(text), std::move(facts)};
    const std::string line = history_line(event) + "\n";
    m_events.push_back(std::move(event));
    m_line_bytes.push_back(line.size());
    m_bytes += line.size();
    if (m_bytes > m_max_bytes) {
        compact();
    } else if (m_fd < 0 || !write_all(m_fd, line)) {
        // Written in one piece or not at all: a failed write is rewritten whole.
        compact();
    } else {
        m_dirty = true;
        sync();
    }
    return m_events.back();
}

void history_log::compact() {
    // The newest events that fill at most half the bound stay.
    while (!m_events.empty() && m_bytes > m_max_bytes / 2) {
        m_bytes -= m_line_bytes.front();
        m_line_bytes.pop_front();
        m_events.pop_front();
    }
    std::string text;
    text.reserve(m_bytes);
    for (const auto& event : m_events) text.append(history_line(event)).append("\n");
    file_sync::replace_file(m_file, text);
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
