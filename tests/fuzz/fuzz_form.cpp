// Form and query decoding: any bytes decode without fault, every decoded
// pair has a key, and a decoded form encoded again decodes to itself.

#include "core/text_utils.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string percent_encode(std::string_view text) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += HEX[byte >> 4];
        out += HEX[byte & 0xF];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto form = text_utils::parse_form(text);
    std::string again;
    for (const auto& [key, value] : form) {
        if (key.empty()) std::abort();
        if (!again.empty()) again += '&';
        again += percent_encode(key) + "=" + percent_encode(value);
        // Read for faults only: the query reader keeps a key's first occurrence, the form reader its last.
        (void)text_utils::query_value(text, key);
    }
    if (text_utils::parse_form(again) != form) std::abort();
    if (text_utils::decode_form_component(text).size() > text.size()) std::abort();
    return 0;
}
