#include "api/api_json.hpp"

namespace api_json {

std::string compact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string error_json(std::string_view message) {
    return compact(nlohmann::json{{"error", std::string(message)}});
}

bool accumulate_body(std::string& body, std::string_view chunk, bool& rejected, const httpd::response_ptr& res) {
    if (rejected) return false;
    if (body.size() + chunk.size() <= MAX_BODY_BYTES) {
        body.append(chunk);
        return true;
    }
    rejected = true;
    res->write_status("413 Payload Too Large");
    res->write_header("Content-Type", "application/json");
    res->write_header("Cache-Control", "no-store");
    res->end(error_json("Payload too large"));
    return false;
}

}  // namespace api_json
