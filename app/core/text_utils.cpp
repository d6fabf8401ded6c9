#include "core/text_utils.hpp"

#include <cctype>
#include <climits>
#include <istream>

namespace text_utils {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view line) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = line.find_last_not_of(blanks);
    return line.substr(first, last - first + 1);
}

}  // namespace

std::string decode_form_component(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

form_map parse_form(std::string_view text) {
    form_map form;
    while (!text.empty()) {
        const auto amp = text.find('&');
        const std::string_view segment = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        const auto eq = segment.find('=');
        if (segment.empty() || eq == std::string_view::npos) continue;
        std::string key = decode_form_component(segment.substr(0, eq));
        if (key.empty()) continue;
        form[std::move(key)] = decode_form_component(segment.substr(eq + 1));
    }
    return form;
}

std::string query_value(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view segment = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        const auto eq = segment.find('=');
        const std::string_view name = segment.substr(0, eq);
        if (decode_form_component(name) != key) continue;
        return eq == std::string_view::npos ? std::string{} : decode_form_component(segment.substr(eq + 1));
    }
    return {};
}

std::optional<int> parse_int(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return std::nullopt;
    return static_cast<int>(value);
}

void for_each_trimmed_line(std::string_view output, const std::function<void(std::string_view)>& visit) {
    while (true) {
        const auto lf = output.find('\n');
        visit(trim(output.substr(0, lf)));
        if (lf == std::string_view::npos) return;
        output.remove_prefix(lf + 1);
    }
}

std::string format_uptime(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t days = seconds / 86400;
    const std::int64_t hours = (seconds % 86400) / 3600;
    const std::int64_t minutes = (seconds % 3600) / 60;
    std::string out;
    if (seconds >= 86400) out += std::to_string(days) + "d";
    out += std::to_string(hours) + "h" + std::to_string(minutes) + "m";
    return out;
}

std::string escape_for_log(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\\') {
            out += "\\\\";  // so that a literal "\n" in a value cannot pass for an escaped line feed
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += HEX[byte >> 4];
            out += HEX[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

bool read_bounded_line(std::istream& in, std::string& line, std::size_t max_bytes) {
    line.clear();
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr || !in.good()) return false;
    bool any = false;
    bool truncated = false;
    while (true) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            if (!any) in.setstate(std::ios::failbit);
            break;
        }
        any = true;
        if (c == '\n') break;
        if (line.size() < max_bytes) line.push_back(static_cast<char>(c));
        else truncated = true;
    }
    if (truncated) line.append(LINE_TRUNCATED_MARKER);
    return any;
}

}  // namespace text_utils
