// Decryption of protected payloads, the text form in which the agent hands over the SSO
// password and PINs: a tag naming key and cipher scheme, then the enciphered bytes in Base64.
// The key material stays in the key vault; text not in that form passes through unchanged.
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"
#include "lib/mfw/common/util/SecureString.h"

#include <string>
#include <string_view>

namespace CORE {
class PropertyBag;
}

class SecurityManager {
public:
    explicit SecurityManager(std::string defaultScheme = "AES") : defaultScheme_(std::move(defaultScheme)) {}

    // The plain text (UTF-8) of `payload`, or `payload` itself when it is not protected.
    // `sessionKey` is the caller's session key bag, needed only by the "ASKS" scheme.
    // Throws SecurityException with the reason, CORE::coreException "OutOfMem".
    CORE::SecureBytes DecryptEx(std::string_view payload, const CORE::PropertyBag* sessionKey = nullptr);

    const std::string& defaultScheme() const noexcept { return defaultScheme_; }

private:
    std::string defaultScheme_;
};

// True when the text has the protected form: '{' first, a '-' after it, a '}' after that.
bool IsProtectedPayload(std::wstring_view text) noexcept;

// The module's entry point: the secret in `payload`, or `payload` unchanged when it is not
// protected. On failure logs "SecurityManager::DecryptEx FAILED: <reason>" at ERROR and returns
// an empty string. Throws only CORE::coreException "OutOfMem".
CORE::SecureWString DecryptProtectedPayload(std::wstring_view payload);
