#include "Json.h"

namespace json {

std::string Stringify(const Json& value) {
    return value.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

bool Parse(std::string_view text, Json* out, std::string* error) {
    if (text.size() > kMaxTextBytes) {
        if (error) *error = "text too large";
        return false;
    }
    try {
        Json value = Json::parse(text.begin(), text.end());
        *out = std::move(value);
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

}  // namespace json
