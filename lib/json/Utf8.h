// UTF-8 decoding and encoding shared by the JSON writer and parser (internal to lib/json).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace json::utf8 {

inline constexpr char32_t kInvalid = 0xFFFFFFFF;

// The code point that starts at text[*pos], advancing *pos past it; kInvalid (advancing one
// byte) for an overlong form, a surrogate, a value above U+10FFFF or a cut sequence.
char32_t Decode(std::string_view text, size_t* pos);
void Encode(char32_t codePoint, std::string* out);

}  // namespace json::utf8
