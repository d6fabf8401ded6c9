#include "diagnostics/debug_bundle_output.hpp"

#include "core/text_utils.hpp"

#include <cstddef>

namespace debug_bundle_output {
namespace {

constexpr std::size_t MAX_BUNDLE_HOST_CHARS = 63;

}  // namespace

std::string file_name(std::string_view host, std::time_t when) {
    std::string name;
    for (const char c : host.substr(0, MAX_BUNDLE_HOST_CHARS)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
        name += plain ? c : '-';
    }
    if (name.empty()) name = "device";
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[24];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return "netbird-debug-" + name + "-" + stamp + ".zip";
}

std::optional<std::string> local_path(const std::string& output) {
    std::optional<std::string> found;
    bool after_label = false;
    text_utils::for_each_trimmed_line(output, [&](std::string_view line) {
        if (found) return;
        if (after_label && line.size() > 4 && line.front() == '/' && line.substr(line.size() - 4) == ".zip") {
            found = std::string(line);
            return;
        }
        after_label = line == "Local file:";
    });
    return found;
}

std::optional<std::string> upload_key(const std::string& output) {
    std::optional<std::string> found;
    bool armed = false;
    text_utils::for_each_trimmed_line(output, [&](std::string_view line) {
        if (found) return;
        if (armed && !line.empty()) {
            found = std::string(line);
            return;
        }
        armed = line == "Upload file key:";
    });
    return found;
}

bool is_archive_name(std::string_view name) {
    constexpr std::string_view prefix = "netbird.debug.";
    constexpr std::string_view suffix = ".zip";
    return name.size() > prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
           name.substr(name.size() - suffix.size()) == suffix;
}

}  // namespace debug_bundle_output
