// NetBird's status report as the watchdog reads it: any bytes are judged
// without fault, and the management state found is the one a plain reading
// of the whole document gives.

#include "netbird_utils.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

std::optional<bool> plain_reading(const std::string& text) {
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object() || !doc.contains("management") || !doc["management"].is_object()) return std::nullopt;
    const auto& management = doc["management"];
    if (!management.contains("connected") || !management["connected"].is_boolean()) return std::nullopt;
    return management["connected"].get<bool>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (netbird_utils::parse_management_connected(text) != plain_reading(text)) std::abort();
    return 0;
}
