#include "PayloadDecryption.h"

// The security manager is not part of the module yet. Until it is, every text passes through
// as text that is not a protected payload does; this body is what it replaces.
CORE::SecureWString DecryptProtectedPayload(std::wstring_view payload) {
    return CORE::SecureWString(payload);
}
