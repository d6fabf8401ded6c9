#include "http/chunk_framing.hpp"

#include <cstring>
#include <limits>

namespace httpd {

namespace {

bool is_space(unsigned char c) { return c == ' ' || c == '\t'; }

bool is_token(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// Inside a quoted string: tab, space, visible characters and bytes past
// ASCII, but not '"' or '\'.
bool is_quoted_text(unsigned char c) {
    return c == '\t' || c == ' ' || c == 0x21 || (c >= 0x23 && c != 0x5c && c != 0x7f);
}

// After '\' in a quoted string: tab, space, any visible character or byte past ASCII.
bool is_quoted_pair(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); }

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

chunk_framing::verdict chunk_framing::read(std::string_view held) {
    while (m_at != at::whole && m_at != at::malformed && m_read < held.size())
        m_at = m_read == m_max_bytes ? at::malformed : step(static_cast<unsigned char>(held[m_read++]));
    if (m_at == at::whole) return verdict::whole;
    return m_at == at::malformed ? verdict::malformed : verdict::more_input;
}

void chunk_framing::framing_taken() {
    m_data_left = m_size;
    m_at = at::data_cr;
    m_read = 0;
}

chunk_framing::at chunk_framing::step(unsigned char c) {
    switch (m_at) {
    case at::data_cr:
        return c == '\r' ? at::data_lf : at::malformed;
    case at::data_lf:
        return c == '\n' ? at::size_first : at::malformed;
    case at::size_first:
    case at::size:
        if (const int digit = hex_digit(c); digit >= 0) {
            if (m_at == at::size_first) m_size = 0;
            if (m_size > std::numeric_limits<std::uint64_t>::max() / 16) return at::malformed;
            m_size = m_size * 16 + static_cast<unsigned>(digit);
            return at::size;
        }
        if (m_at == at::size_first) return at::malformed;
        if (c == ';') return at::ext_name_first;
        if (is_space(c)) return at::space_then_semicolon;
        return c == '\r' ? at::line_lf : at::malformed;
    case at::space_then_semicolon:
        if (is_space(c)) return m_at;
        return c == ';' ? at::ext_name_first : at::malformed;
    case at::ext_name_first:
        if (is_space(c)) return m_at;
        return is_token(c) ? at::ext_name : at::malformed;
    case at::ext_name:
        if (is_token(c)) return m_at;
        if (is_space(c)) return at::space_after_name;
        if (c == ';') return at::ext_name_first;
        if (c == '=') return at::ext_value_first;
        return c == '\r' ? at::line_lf : at::malformed;
    case at::space_after_name:
        if (is_space(c)) return m_at;
        if (c == ';') return at::ext_name_first;
        return c == '=' ? at::ext_value_first : at::malformed;
    case at::ext_value_first:
        if (is_space(c)) return m_at;
        if (c == '"') return at::ext_quoted;
        return is_token(c) ? at::ext_token : at::malformed;
    case at::ext_token:
        if (is_token(c)) return m_at;
        [[fallthrough]];
    case at::after_quoted:
        if (is_space(c)) return at::space_then_semicolon;
        if (c == ';') return at::ext_name_first;
        return c == '\r' ? at::line_lf : at::malformed;
    case at::ext_quoted:
        if (c == '"') return at::after_quoted;
        if (c == '\\') return at::ext_quoted_pair;
        return is_quoted_text(c) ? m_at : at::malformed;
    case at::ext_quoted_pair:
        return is_quoted_pair(c) ? at::ext_quoted : at::malformed;
    case at::line_lf:
        if (c != '\n') return at::malformed;
        return m_size == 0 ? at::trailer_line : at::whole;
    case at::trailer_line:
        if (c == '\r') return at::trailer_end_lf;
        [[fallthrough]];
    case at::trailer_field:
        // The parser reads the fields themselves; here a line ends at CRLF
        // only, as it does for the parser.
        if (c == '\n') return at::malformed;
        return c == '\r' ? at::trailer_field_lf : at::trailer_field;
    case at::trailer_field_lf:
        return c == '\n' ? at::trailer_line : at::malformed;
    case at::trailer_end_lf:
        return c == '\n' ? at::whole : at::malformed;
    case at::whole:
    case at::malformed:
        break;
    }
    return m_at;
}

}  // namespace httpd
