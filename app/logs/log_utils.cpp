#include "logs/log_utils.hpp"

#include <cctype>

namespace log_utils {
namespace {

constexpr std::string_view GZ_SUFFIX = ".gz";
constexpr std::string_view LOG_SUFFIX = ".log";
constexpr std::size_t DATE_LENGTH = 10;  // YYYY-MM-DD

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::optional<std::string> daily_log_date(std::string_view name) {
    if (name.size() > GZ_SUFFIX.size() && ends_with(name, GZ_SUFFIX)) name.remove_suffix(GZ_SUFFIX.size());
    // "_" + date + ".log" is 15 characters; anything may precede it.
    constexpr std::size_t tail = 1 + DATE_LENGTH + 4;
    if (name.size() < tail || !ends_with(name, LOG_SUFFIX) || name[name.size() - tail] != '_') return std::nullopt;
    const std::string_view date = name.substr(name.size() - tail + 1, DATE_LENGTH);
    for (std::size_t i = 0; i < date.size(); ++i) {
        const bool dash_position = i == 4 || i == 7;
        if (dash_position ? date[i] != '-' : !std::isdigit(static_cast<unsigned char>(date[i]))) return std::nullopt;
    }
    return std::string(date);
}

bool is_app_log_name(std::string_view name) {
    return starts_with(name, "app_") && daily_log_date(name).has_value();
}

bool is_netbird_daily_name(std::string_view name) {
    return starts_with(name, "netbird_") && daily_log_date(name).has_value();
}

bool is_netbird_log_name(std::string_view name) {
    return name == "client.log" || (name.size() >= 14 && starts_with(name, "client-") && ends_with(name, ".log.gz"));
}

}  // namespace log_utils
