#include "netbird/tunnel_options.hpp"

#include <algorithm>
#include <cstddef>

namespace tunnel_options {
namespace {

constexpr std::size_t IPV4_PARTS = 4;
constexpr std::size_t IPV4_PART_DIGITS = 3;
constexpr int IPV4_PART_MAX = 255;
constexpr std::size_t MAX_INTERFACE_NAME = 15;
constexpr std::size_t MAX_PORT_DIGITS = 5;
constexpr int PORT_MAX = 65535;

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char p, char t) {
               return p == ((t >= 'A' && t <= 'Z') ? static_cast<char>(t - 'A' + 'a') : t);
           });
}

bool is_host_name(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
               c == '_';
    });
}

bool is_bracketed_ipv6(std::string_view host) {
    if (host.size() < 3 || host.front() != '[' || host.back() != ']') return false;
    const std::string_view inside = host.substr(1, host.size() - 2);
    return inside.find(':') != std::string_view::npos && std::all_of(inside.begin(), inside.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                      c == '.';
           });
}

bool is_port(std::string_view digits) {
    if (digits.empty() || digits.size() > MAX_PORT_DIGITS) return false;
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= PORT_MAX;
}

// Dotted decimal as NetBird's address parser takes it: four parts of 1 to
// 3 digits, each at most 255, no leading zero.
bool is_ipv4(std::string_view text) {
    std::size_t parts = 0;
    while (true) {
        const auto dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > IPV4_PART_DIGITS || (part.size() > 1 && part.front() == '0')) return false;
        int value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value > IPV4_PART_MAX || ++parts > IPV4_PARTS) return false;
        if (dot == std::string_view::npos) return parts == IPV4_PARTS;
        text.remove_prefix(dot + 1);
    }
}

}  // namespace

bool is_valid_external_ip_map(std::string_view value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '.' || c == '/' || c == ',';
    });
}

bool netbird_accepts_external_ip_map(std::string_view value) {
    if (value.empty()) return true;
    while (true) {
        const auto comma = value.find(',');
        const std::string_view entry = value.substr(0, comma);
        const auto slash = entry.find('/');
        if (!is_ipv4(entry.substr(0, slash))) return false;
        if (slash != std::string_view::npos && !is_ipv4(entry.substr(slash + 1))) return false;
        if (comma == std::string_view::npos) return true;
        value.remove_prefix(comma + 1);
    }
}

bool is_valid_interface_name(std::string_view value) {
    if (value.empty() || value.size() > MAX_INTERFACE_NAME) return false;
    return std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

bool is_valid_wireguard_port(int port) { return port >= 1 && port <= 65535; }

bool is_valid_mtu(int mtu) { return mtu >= 576 && mtu <= 8192; }

bool netbird_accepts_management_url(std::string_view url) {
    if (starts_with_ignoring_case(url, "https://")) url.remove_prefix(8);
    else if (starts_with_ignoring_case(url, "http://")) url.remove_prefix(7);
    else return false;
    const auto slash = url.find('/');
    if (slash != std::string_view::npos && slash + 1 != url.size()) return false;
    const std::string_view authority = url.substr(0, slash);
    // The port follows the last ':' that is not inside an IPv6 address's brackets.
    const auto colon = authority.rfind(':');
    const bool has_port = colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos;
    const std::string_view host = has_port ? authority.substr(0, colon) : authority;
    if (has_port && !is_port(authority.substr(colon + 1))) return false;
    return is_host_name(host) || is_bracketed_ipv6(host);
}

}  // namespace tunnel_options
