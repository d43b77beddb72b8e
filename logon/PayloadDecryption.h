// The one door from the logon buffers to the security manager: turns a protected payload from
// the agent (password, smart card PIN, Windows Hello PIN) into its clear text.
#pragma once
#include "lib/mfw/common/SecureString.h"

#include <string_view>

// Decrypts with the security manager's default scheme "AES" and no session key. Text that is
// not a protected payload comes back unchanged; a payload that cannot be decrypted gives an
// empty text. Never throws except for out of memory.
CORE::SecureWString DecryptProtectedPayload(std::wstring_view payload);
