// Turns a protected payload from the agent (password, PIN) into its clear text. Text that is
// not in the protected form comes back unchanged; a payload that cannot be decrypted gives an
// empty string after an ERROR line.
#pragma once
#include "lib/mfw/common/SecureString.h"

#include <string_view>

CORE::SecureWString DecryptProtectedPayload(std::wstring_view payload);
