#pragma once
// What NetBird's interactive sign-in prints, read as hostile text: the link a
// person opens (and the code they type when the link does not carry it),
// and how the sign-in ended. The link is shown on a page as a link and a QR
// code, so only a plain http(s) address gets through.

#include <optional>
#include <string>
#include <string_view>

namespace sign_in_text {

// Longest link and code taken from NetBird's output; anything longer is no
// sign-in link a provider would print.
constexpr std::size_t MAX_URL_LENGTH = 2048;
constexpr std::size_t MAX_CODE_LENGTH = 64;

struct link {
    std::string url;
    std::string code;  // empty when the URL carries it

    bool operator==(const link& other) const { return url == other.url && code == other.code; }
};

// The link in `output` once NetBird has printed it, as `up --no-browser` does:
// "Use this URL to log in:", a blank line, the URL, then " and enter the code
// CODE to authenticate." when the URL does not carry the code. Nothing until
// the whole URL line is there (it ends with a line break).
// Example: "Use this URL to log in:\n\nhttps://idp.example/device?user_code=AB-CD \n\n"
//   -> {"https://idp.example/device?user_code=AB-CD", ""}
// Example: "Use this URL to log in:\n\nhttps://idp.example/device and enter the code AB-CD to authenticate.\n"
//   -> {"https://idp.example/device", "AB-CD"}
// Example: "Use this URL to log in:\n\njavascript:alert(1)\n" -> nothing
std::optional<link> find_link(std::string_view output);

enum class outcome { connected, expired, refused, cancelled, interrupted, failed };

// Its name in the API ("connected", "expired", ...).
const char* name_of(outcome o);

// How a sign-in ended from what its command said, when nobody ended it from
// outside: exit 0 is a device signed in and connected; NetBird's own time-out
// is an expired code; a wait for the person that failed otherwise was a
// refusal; anything else (the daemon gone, say) a failure.
// Example: (0, "Connected") -> connected
// Example: (1, "Error: daemon up failed: sso login failed: waiting sso login failed with: rpc error: code =
//   DeadlineExceeded desc = context deadline exceeded") -> expired
// Example: (1, "... waiting sso login failed with: rpc error: code = Unknown desc = access_denied") -> refused
// Example: (1, "Error: failed to connect to daemon error: context deadline exceeded") -> failed
outcome judge_end(int exit_code, std::string_view output);

// `text` with the link's URL and code taken out, for the log and the
// history, which never hold a sign-in code.
// Example: ("failed for AB-CD", {"https://x/?c=AB-CD", "AB-CD"}) -> "failed for [code]"
std::string without_secrets(std::string text, const std::optional<link>& shown);

}  // namespace sign_in_text
