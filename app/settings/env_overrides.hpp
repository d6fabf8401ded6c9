#pragma once
// Rules for NetBird's environment overrides (env.json): which keys and values
// a user may set, what a loaded file may keep, which values are secret, and
// the environment a NetBird process gets.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace env_overrides {

// Bounds of the overrides. Every NetBird process gets them in its
// environment, where the kernel limits one string to 128 KiB and all of them
// together to a quarter of the stack limit; these keep the whole set far below.
constexpr std::size_t MAX_ENV_VALUE_BYTES = 4096;
constexpr std::size_t MAX_ENV_OVERRIDES = 64;

// Example: "NB_" -> true; "nb_log_level" -> false; "NB-LOG" -> false; "HOME" -> false.
bool is_valid_env_key(std::string_view key);
// Keys the system sets itself, as a variable or as the flag NetBird reads it
// for (an NB_<FLAG> variable wins over the flag). Example: "NB_DAEMON_ADDR" -> true.
bool is_protected_env_key(std::string_view key);
// Keys that are settings passed as flags. Example: "NB_MTU" -> true.
bool is_flag_mapped_env_key(std::string_view key);

// Why POST /env refuses a key, or empty when it is accepted: the syntax,
// the keys the system sets itself, the settings passed as flags, the keys
// that would wedge the daemon (auto-connect off, foreground mode, another
// profile), the lazy connection choice (made when connecting) and setup keys
// (never stored).
// Example: "NB_LOG_LEVEL" -> ""; "NB_SETUP_KEY" -> "A setup key is given once when enrolling, never stored";
//          "NB_CONFIG" -> "Env key is read-only"; "nb_x" -> "Invalid env key";
//          "NB_PROFILE" -> "NB_PROFILE would move NetBird to a configuration this application does not manage".
std::string_view env_key_refusal(std::string_view key);
// Why a value is refused for a key, or empty: the length bound, and a log
// level NetBird does not know (it would make the daemon and every command fail).
// Example: ("NB_LOG_LEVEL", "Debug") -> ""; ("NB_LOG_LEVEL", "verbose") -> "NB_LOG_LEVEL must be one of ...".
std::string_view env_value_refusal(std::string_view key, std::string_view value);

// Removes from overrides read from env.json what may not be there: keys
// the system sets itself or refuses (env_key_refusal, but for the syntax,
// which a hand-edited file may break on purpose, e.g. HOME), values refused
// for their key, and entries beyond MAX_ENV_OVERRIDES (the first ones in key
// order stay). True when something was removed.
// Example: {NB_A: "x", NB_MTU: "1400", NB_SETUP_KEY: "k"} -> {NB_A: "x"}, true.
bool drop_unloadable_overrides(std::map<std::string, std::string>& overrides);

// Keys that are flags of `up` alone: NetBird reads them when it connects, so
// a change reaches it at the next connect, not by restarting the daemon.
// Example: "NB_BLOCK_INBOUND" -> true; "NB_LOG_LEVEL" -> false; "NB_MTU" -> false (a setting).
bool is_up_flag_env_key(std::string_view key);
// The overrides of `up`'s flags as NAME=value, in key order: what a connect
// applies besides the settings' flags.
// Example: {NB_BLOCK_INBOUND: "true", NB_LOG_LEVEL: "debug"} -> {"NB_BLOCK_INBOUND=true"}.
std::vector<std::string> up_flag_overrides(const std::map<std::string, std::string>& overrides);

// Override values that must never reach a log line.
// Example: "NB_SETUP_KEY" -> true; "NB_LOG_LEVEL" -> false.
bool is_secret_env_key(std::string_view key);

// Environment additions for a NetBird process: the system pairs in order,
// then the overrides on top (an override replaces a system value).
// Example: system {A=1, B=2}, overrides {B=3, C=4} -> {A=1, B=3, C=4}.
std::map<std::string, std::string> compose_command_env(
    const std::vector<std::pair<std::string, std::string>>& system_env,
    const std::map<std::string, std::string>& overrides);

}  // namespace env_overrides
