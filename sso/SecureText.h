// UTF-16 <-> UTF-8 for secrets: the results live in buffers that wipe themselves.
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"
#include "lib/mfw/common/util/SecureString.h"

#include <string>
#include <string_view>

namespace secmgr {

// False for text that is not valid UTF-16 (a lone surrogate) or too long.
bool WideToUtf8(std::wstring_view text, CORE::SecureBytes* out);
// Up to the first NUL: secrets are C strings on Windows, and a NUL the payload carried as its
// end must not become part of a password. False for bytes that are not valid UTF-8.
bool Utf8ToWide(const BYTE* data, size_t length, CORE::SecureWString* out);
// Names and other non-secret text for requests and log lines; invalid bytes become U+FFFD.
std::wstring Utf8ToWideText(std::string_view text);

}  // namespace secmgr
