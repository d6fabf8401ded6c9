#include "http/answer_memory.hpp"

#include <algorithm>

namespace httpd {
namespace {

// A unit of readers that frees less than this share of the bound (64 KiB
// of 16 MiB: a piece of a download) is dropped only when the others were not enough.
constexpr std::uint64_t NEGLIGIBLE_SHARE = 256;

}  // namespace

void answer_memory::add(const held_answer& answer) {
    m_own += answer.own_bytes;
    if (answer.shared.empty()) return;
    for (shared_text& text : m_shared) {
        if (text.data == answer.shared.data() && text.bytes == answer.shared.size()) {
            ++text.holders;
            return;
        }
    }
    m_shared.push_back({answer.shared.data(), answer.shared.size(), 1});
}

void answer_memory::remove(const held_answer& answer) {
    m_own -= std::min(m_own, answer.own_bytes);
    if (answer.shared.empty()) return;
    const auto text = std::find_if(m_shared.begin(), m_shared.end(), [&answer](const shared_text& t) {
        return t.data == answer.shared.data() && t.bytes == answer.shared.size();
    });
    if (text == m_shared.end()) return;
    if (--text->holders == 0) m_shared.erase(text);
}

std::uint64_t answer_memory::total() const {
    std::uint64_t sum = m_own;
    for (const shared_text& text : m_shared)
        if (text.data != m_newest) sum += text.bytes;
    return sum;
}

std::vector<std::size_t> readers_to_drop(const std::vector<answer_reader>& readers, const char* newest,
                                         std::uint64_t bound) {
    answer_memory memory;
    memory.note_newest(newest);
    for (const answer_reader& r : readers) memory.add(r.held);
    std::vector<std::size_t> dropped;
    if (memory.total() <= bound) return dropped;

    // The readers of one old text go together: the text is freed only with
    // the last of them, so the group is as quick as its quickest member.
    // Every other reader stands alone.
    struct unit {
        std::vector<std::size_t> members;
        double progress_rate = 0;
        session_clock::time_point last_activity{};
        std::uint64_t frees = 0;
    };
    std::vector<unit> units;
    for (std::size_t i = 0; i < readers.size(); ++i) {
        const answer_reader& r = readers[i];
        const bool old_text = !r.held.shared.empty() && r.held.shared.data() != newest;
        auto group = std::find_if(units.begin(), units.end(), [&r, old_text, &readers](const unit& u) {
            return old_text && readers[u.members.front()].held.shared.data() == r.held.shared.data();
        });
        if (group == units.end()) {
            units.push_back({{i}, r.progress_rate, r.last_activity, old_text ? r.held.shared.size() : 0});
            group = units.end() - 1;
        } else {
            group->members.push_back(i);
            group->progress_rate = std::max(group->progress_rate, r.progress_rate);
            group->last_activity = std::max(group->last_activity, r.last_activity);
        }
        group->frees += r.held.own_bytes;
    }
    std::stable_sort(units.begin(), units.end(), [](const unit& a, const unit& b) {
        if (a.progress_rate != b.progress_rate) return a.progress_rate < b.progress_rate;
        return a.last_activity < b.last_activity;
    });
    // Those that free a share of the bound first; the rest only when that
    // was not enough. A reader of the newest text alone frees nothing.
    const std::uint64_t worth = bound / NEGLIGIBLE_SHARE;
    for (const bool small : {false, true}) {
        for (const unit& u : units) {
            if (memory.total() <= bound) return dropped;
            if (u.frees == 0 || (u.frees < worth) != small) continue;
            for (const std::size_t i : u.members) {
                memory.remove(readers[i].held);
                dropped.push_back(i);
            }
        }
    }
    return dropped;
}

}  // namespace httpd
