#include "SecurityManager.h"

#include "CipherScheme.h"
#include "Key.h"
#include "SecureText.h"
#include "SecurityException.h"

#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <cstring>
#include <new>

CORE::SecureBytes SecurityManager::DecryptEx(std::string_view payload, const CORE::PropertyBag* sessionKey) {
    try {
        CORE::LogMessage(CORE::LOG_TRACE, L"SecurityManager::DecryptEx");
        size_t closingBrace = 0;
        if (!FindPayloadTag(payload, &closingBrace)) return CORE::SecureBytes(payload.begin(), payload.end());

        Key key;
        key.parseTag(payload.substr(0, closingBrace));
        if (key.scheme.empty()) throw SecurityException("Cannot decrypt: Cannot parse key specification.");
        key.data.assign(payload.substr(closingBrace + 1));

        // "ASKS" deciphers with the caller's session key. It is checked before the scheme
        // lookup so that a caller without one hears that, not that the scheme is missing.
        if (key.scheme == "ASKS") {
            const bool forEncrypt = sessionKey && sessionKey->Contains(L"DecryptForEncrypt");
            const wchar_t* keyName = forEncrypt ? L"SessionKeyForDecrypt" : L"SessionKey";
            if (!sessionKey || !sessionKey->Contains(keyName))
                throw SecurityException("Cannot decrypt: Key not supplied.");
        }

        std::unique_ptr<CipherScheme> scheme = key.cipherScheme();
        if (!scheme) throw SecurityException("Cannot decrypt: Cipher scheme is not available.");
        CORE::SecureBytes plain;
        if (!scheme->decipher(key, key.data, &plain))
            throw SecurityException("Cannot decrypt: Cipher scheme decryption failed.");
        return plain;
    } catch (const std::bad_alloc&) {
        throw CORE::coreException("OutOfMem");
    }
}

bool IsProtectedPayload(std::wstring_view text) noexcept {
    if (text.empty() || text[0] != L'{') return false;
    size_t hyphen = text.find(L'-', 1);
    return hyphen != std::wstring_view::npos && text.find(L'}', hyphen + 1) != std::wstring_view::npos;
}

namespace {

void LogFailure(const char* reason) {
    std::string narrow = reason ? reason : "";
    std::wstring text(narrow.begin(), narrow.end());
    CORE::LogMessage(CORE::LOG_ERROR, L"SecurityManager::DecryptEx FAILED: %s", text.c_str());
}

}  // namespace

CORE::SecureWString DecryptProtectedPayload(std::wstring_view payload) {
    // Plain text goes back as it came, without a round trip through UTF-8 that could alter it.
    if (!IsProtectedPayload(payload)) return CORE::SecureWString(payload);
    try {
        CORE::SecureBytes utf8;
        if (!secmgr::WideToUtf8(payload, &utf8)) throw SecurityException("Cannot decrypt: Payload is not valid text.");
        SecurityManager manager("AES");
        CORE::SecureBytes plain = manager.DecryptEx(
            std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()), nullptr);
        CORE::SecureWString result;
        if (!secmgr::Utf8ToWide(plain.data(), plain.size(), &result))
            throw SecurityException("Cannot decrypt: Plain text is not valid UTF-8.");
        return result;
    } catch (const SecurityException& e) {
        LogFailure(e.what());
    } catch (const CORE::coreException& e) {
        if (std::strcmp(e.what(), "OutOfMem") == 0) throw;
        LogFailure(e.what());
    } catch (const std::bad_alloc&) {
        throw CORE::coreException("OutOfMem");
    } catch (const std::exception& e) {
        LogFailure(e.what());
    }
    return CORE::SecureWString();
}
