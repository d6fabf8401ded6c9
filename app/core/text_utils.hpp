#pragma once
// Small text rules shared by the HTTP API, the logs and the readers of
// NetBird's output: form decoding, integer reading, log-safe text, the lines
// of a command's output and the uptime text of the heartbeat.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace text_utils {

using form_map = std::map<std::string, std::string>;

// Decodes one form-encoded component: "+" is a blank, "%XX" (two hex digits)
// is that byte, a "%" without two hex digits stays literal.
// Example: "x%2By+z" -> "x+y z"; "50%" -> "50%"; "%zz" -> "%zz".
std::string decode_form_component(std::string_view text);

// Decodes an application/x-www-form-urlencoded body into an ordered map.
// Empty segments, segments without "=" and empty keys are dropped; the last
// occurrence of a key wins.
// Example: "&&a=1&flag&a=b=c" -> {a: "b=c"}.
form_map parse_form(std::string_view text);

// Value of one query parameter of a request target's query string, decoded
// like a form component; the empty string when absent.
// Example: query_value("source=app&name=a%2Fb", "name") -> "a/b".
std::string query_value(std::string_view query, std::string_view key);

// Reads a base-10 integer the way strtol/stoi do: leading white space, an
// optional sign, at least one digit; the rest is ignored. No value when no
// digit follows or the value does not fit 32 bits.
// Example: " 45s" -> 45; "0x10" -> 0; "abc" -> nothing; "99999999999" -> nothing.
std::optional<int> parse_int(std::string_view text);

// Text from a user or a peer, made safe for one log line: a line feed becomes
// the two characters "\n", every other control byte (and DEL) "\xHH", a
// backslash "\\"; the rest is unchanged, so a value cannot forge a record.
// Example: "a\r\nb" -> "a\x0d\nb"; "a\b" -> "a\\b" (backslashes literal).
std::string escape_for_log(std::string_view text);

// Appended to a line that read_bounded_line cut short.
constexpr std::string_view LINE_TRUNCATED_MARKER = " [line truncated]";

// Reads one line (its line feed dropped) keeping at most `max_bytes` of it;
// the rest of a longer line is skipped and LINE_TRUNCATED_MARKER appended.
// False at the end of the input with nothing read.
// Example: "abcdef\nx" with max 3 -> "abc [line truncated]", then "x", then false.
bool read_bounded_line(std::istream& in, std::string& line, std::size_t max_bytes);

// Calls visit(line) for every line of a command's output, with the blanks
// (spaces, tabs, carriage returns) around it removed; the text after the
// last line feed is a line too.
// Example: " a \r\n\tb\n" -> visits "a", "b", "".
void for_each_trimmed_line(std::string_view output, const std::function<void(std::string_view)>& visit);

// Uptime as "[Nd]NhNm"; negative counts as 0.
// Example: 90061 -> "1d1h1m"; 86399 -> "23h59m"; 60 -> "0h1m".
std::string format_uptime(std::int64_t seconds);

}  // namespace text_utils
