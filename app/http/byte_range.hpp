#pragma once
// The one byte range a client may ask for with "Range: bytes=...", so that a
// page following a growing log fetches only what is new.

#include <cstdint>
#include <string_view>

namespace httpd {

struct byte_range {
    enum class kind { whole, partial, unsatisfiable };
    kind what = kind::whole;
    std::uint64_t first = 0;  // partial: the bytes first..last of the file
    std::uint64_t last = 0;
};

// The range of a file of `size` bytes that a Range header asks for. Anything
// but one range in bytes (no header, other units, several ranges, nonsense)
// asks for the whole file; a range that starts at or past the end cannot be
// satisfied.
// Example: ("bytes=40-", 100) -> partial 40-99; ("bytes=10-19", 100) -> partial 10-19;
//          ("bytes=-30", 100) -> partial 70-99; ("bytes=100-", 100) -> unsatisfiable;
//          ("bytes=0-1,5-6", 100) -> whole; ("", 100) -> whole.
byte_range parse_byte_range(std::string_view header, std::uint64_t size);

}  // namespace httpd
