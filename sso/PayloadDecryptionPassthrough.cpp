#include "PayloadDecryption.h"

#include "lib/mfw/common/SysMessage.h"

// No key vault in this build: payloads pass through as text that is not protected does.
CORE::SecureWString DecryptProtectedPayload(std::wstring_view payload) {
    CORE::LogMessage(CORE::LOG_TRACE, L"SecurityManager::DecryptEx");
    return CORE::SecureWString(payload);
}
