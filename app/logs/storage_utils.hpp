#pragma once
// The storage report's arithmetic.

#include <cstdint>

namespace storage_utils {

// Used share of a file system in whole percent, rounded half up, computed in
// unsigned 64-bit arithmetic; 0 for a zero capacity.
// Example: (1000, 995) -> 1 (0.5 rounds up); (1000, 996) -> 0; (0, 0) -> 0.
inline std::int64_t used_percent(std::uintmax_t capacity, std::uintmax_t available) {
    if (capacity == 0) return 0;
    const std::uintmax_t used = available < capacity ? (capacity - available) * 100 : 0;
    return static_cast<std::int64_t>((used + capacity / 2) / capacity);
}

}  // namespace storage_utils
