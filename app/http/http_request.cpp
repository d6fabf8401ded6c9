#include "http/http_request.hpp"

#include "core/text_utils.hpp"

namespace httpd {

std::string_view http_request::path() const { return std::string_view(target).substr(0, target.find('?')); }

std::string http_request::get_query(std::string_view key) const {
    const auto question = target.find('?');
    if (question == std::string::npos) return {};
    return text_utils::query_value(std::string_view(target).substr(question + 1), key);
}

}  // namespace httpd
