// Text conversions of the cloud authentication code.
#pragma once
#include <windows.h>

#include <string>
#include <string_view>

namespace EntraAuth {

// UTF-8 of a wide text (unpaired surrogates become U+FFFD), and back.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// The correlation id used where none was given: the all-zero GUID, without braces.
std::wstring ZeroCorrelationId();

}  // namespace EntraAuth
