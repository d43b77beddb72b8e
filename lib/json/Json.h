// JSON for the Entra messages: nlohmann's ordered_json (members keep their insertion order)
// behind the two calls the code needs, so the Windows.Data.Json implementation could take its
// place. Stringify writes the compact form (no white space, UTF-8 as it stands, invalid UTF-8
// as U+FFFD); Parse reads untrusted text and never throws.
#pragma once
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace json {

using Json = nlohmann::ordered_json;

inline constexpr size_t kMaxTextBytes = 16 * 1024 * 1024;

std::string Stringify(const Json& value);
// One value; false (out untouched, `error` says why) on any fault or above kMaxTextBytes.
[[nodiscard]] bool Parse(std::string_view text, Json* out, std::string* error = nullptr);

}  // namespace json
