#pragma once
// JSON texts of the HTTP API: compact serialisation, the error body, and the
// collection of request bodies with their size limit.

#include "http/http_response.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace api_json {

constexpr std::size_t MAX_BODY_BYTES = 8192;

// No indentation, keys sorted, invalid UTF-8 replaced by U+FFFD.
// Example: {"b":1,"a":"\xff"} -> {"a":"\uFFFD","b":1} (the replacement character as UTF-8).
std::string compact(const nlohmann::json& value);

// Example: "Payload too large" -> {"error":"Payload too large"}
std::string error_json(std::string_view message);

// Appends `chunk` to `body` while the total stays within MAX_BODY_BYTES.
// Past it, answers 413 once, sets `rejected`, and refuses every later chunk.
// Example: 8192 bytes in any number of chunks -> all accepted; 8193 -> one 413.
bool accumulate_body(std::string& body, std::string_view chunk, bool& rejected, const httpd::response_ptr& res);

}  // namespace api_json
