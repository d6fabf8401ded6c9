#include "netbird/sign_in_text.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace sign_in_text {
namespace {

constexpr std::string_view LINK_LABEL = "url to log in:";
constexpr std::string_view CODE_BEFORE = "and enter the code ";
constexpr std::string_view CODE_AFTER = " to authenticate";
constexpr std::array<std::string_view, 2> SCHEMES = {"https://", "http://"};
constexpr std::string_view WAIT_FAILED = "waiting sso login failed";
constexpr std::array<std::string_view, 2> EXPIRED_MARKS = {"deadline exceeded", "expired"};
// The wait ended because NetBird itself went away or was told to stop.
constexpr std::array<std::string_view, 4> GONE_MARKS = {"code = Unavailable", "code = Canceled",
                                                        "context canceled", "transport is closing"};
constexpr std::string_view CODE_MARK = "[code]";
constexpr std::string_view LINK_MARK = "[sign-in link]";

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// A character that may stand in a link shown on the page: printable ASCII
// without quotes, angle brackets, backslash or backtick.
bool url_char(char c) {
    return c > ' ' && c < 0x7f && c != '"' && c != '\'' && c != '<' && c != '>' && c != '\\' && c != '`';
}

bool code_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; }

void replace_all(std::string& text, const std::string& what, std::string_view with) {
    if (what.empty()) return;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

}  // namespace

std::optional<link> find_link(std::string_view output) {
    const std::size_t label = lower(output).find(LINK_LABEL);
    if (label == std::string::npos) return std::nullopt;
    std::size_t at = label + LINK_LABEL.size();
    while (at < output.size() && std::isspace(static_cast<unsigned char>(output[at]))) ++at;
    const std::size_t line_end = output.find('\n', at);
    if (line_end == std::string_view::npos) return std::nullopt;  // the line is not all there yet
    const std::string_view line = output.substr(at, line_end - at);
    std::size_t url_end = 0;
    while (url_end < line.size() && url_char(line[url_end])) ++url_end;
    const std::string_view url = line.substr(0, url_end);
    const bool plain = std::any_of(SCHEMES.begin(), SCHEMES.end(), [&url](std::string_view scheme) {
        return url.size() > scheme.size() && lower(url.substr(0, scheme.size())) == scheme;
    });
    if (!plain || url.size() > MAX_URL_LENGTH) return std::nullopt;
    link found{std::string(url), {}};
    const std::string_view rest = line.substr(url_end);
    if (const std::size_t before = rest.find(CODE_BEFORE); before != std::string_view::npos) {
        const std::string_view tail = rest.substr(before + CODE_BEFORE.size());
        std::size_t code_end = 0;
        while (code_end < tail.size() && code_char(tail[code_end])) ++code_end;
        if (code_end > 0 && code_end <= MAX_CODE_LENGTH && tail.substr(code_end, CODE_AFTER.size()) == CODE_AFTER)
            found.code = std::string(tail.substr(0, code_end));
    }
    return found;
}

const char* name_of(outcome o) {
    switch (o) {
        case outcome::connected: return "connected";
        case outcome::expired: return "expired";
        case outcome::refused: return "refused";
        case outcome::cancelled: return "cancelled";
        case outcome::interrupted: return "interrupted";
        case outcome::failed: break;
    }
    return "failed";
}

outcome judge_end(int exit_code, std::string_view output) {
    if (exit_code == 0) return outcome::connected;
    const std::size_t wait = output.find(WAIT_FAILED);
    if (wait == std::string_view::npos) return outcome::failed;
    const std::string_view why = output.substr(wait);
    const std::string why_lower = lower(why);
    if (std::any_of(EXPIRED_MARKS.begin(), EXPIRED_MARKS.end(),
                    [&why_lower](std::string_view mark) { return contains(why_lower, mark); }))
        return outcome::expired;
    if (std::any_of(GONE_MARKS.begin(), GONE_MARKS.end(), [&why](std::string_view mark) { return contains(why, mark); }))
        return outcome::failed;
    return outcome::refused;
}

std::string without_secrets(std::string text, const std::optional<link>& shown) {
    if (!shown) return text;
    replace_all(text, shown->url, LINK_MARK);
    replace_all(text, shown->code, CODE_MARK);
    return text;
}

}  // namespace sign_in_text
