#include "http/answer_memory.hpp"

#include <algorithm>
#include <numeric>

namespace httpd {

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

    std::vector<std::size_t> order(readers.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&readers](std::size_t a, std::size_t b) {
        if (readers[a].progress_rate != readers[b].progress_rate)
            return readers[a].progress_rate < readers[b].progress_rate;
        return readers[a].last_activity < readers[b].last_activity;
    });
    for (const std::size_t i : order) {
        if (memory.total() <= bound) break;
        memory.remove(readers[i].held);
        dropped.push_back(i);
    }
    return dropped;
}

}  // namespace httpd
