#include "PasswordProtection.h"

#include "sso/SecurityManager.h"

#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"

#include <cwchar>
#include <new>

namespace {

HRESULT FromLastError(DWORD error) { return error ? HRESULT_FROM_WIN32(error) : E_FAIL; }

}  // namespace

HRESULT ProtectPassword(PCWSTR text, CORE::SecureWString* out) noexcept {
    if (!out) return E_INVALIDARG;
    try {
        out->Wipe();
        const wchar_t* input = text ? text : L"";
        size_t chars = wcslen(input);
        if (chars >= MAXDWORD) return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
        // CredProtectW protects the characters it is given; the terminator is counted in so the
        // protected form unprotects to a terminated string.
        const DWORD inputChars = static_cast<DWORD>(chars + 1);
        platform::IPlatform& os = platform::Get();

        DWORD needed = 0;
        if (os.ProtectCredential(FALSE, input, inputChars, nullptr, &needed, nullptr)) return E_FAIL;
        DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) return FromLastError(error);
        if (needed == 0) return E_FAIL;

        CORE::SecureWString buffer;
        buffer.resize(needed);
        DWORD capacity = needed;
        if (!os.ProtectCredential(FALSE, input, inputChars, buffer.data(), &capacity, nullptr))
            return FromLastError(::GetLastError());
        buffer.resize(wcsnlen(buffer.c_str(), needed));
        *out = std::move(buffer);
        return S_OK;
    } catch (const std::bad_alloc&) {
        out->Wipe();
        return E_OUTOFMEMORY;
    } catch (...) {
        out->Wipe();
        return E_UNEXPECTED;
    }
}

HRESULT DecryptAndProtectPassword(PCWSTR protectedPassword, CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario,
                                  CORE::SecureWString* out) noexcept {
    if (!out) return E_INVALIDARG;
    try {
        out->Wipe();
        CORE::SecureWString clear = DecryptProtectedPayload(protectedPassword ? protectedPassword : L"");
        // Credential UI hands the password back to its caller, not to the LSA: no protection.
        if (clear.empty() || usageScenario == CPUS_CREDUI) {
            *out = std::move(clear);
            return S_OK;
        }
        return ProtectPassword(clear.c_str(), out);
    } catch (const std::bad_alloc&) {
        out->Wipe();
        return E_OUTOFMEMORY;
    } catch (...) {
        out->Wipe();
        return E_UNEXPECTED;
    }
}

void ProtectSecretCopy(PCWSTR secret, CORE::SecureWString* out) noexcept {
    if (!out) return;
    try {
        out->Wipe();
        if (!secret || !*secret) return;
        HRESULT hr = ProtectPassword(secret, out);
        if (FAILED(hr)) {
            CORE::LogMessage(CORE::LOG_WARN, L"ProtectSecretCopy: protection failed 0x%08X, the secret goes as it is",
                             static_cast<unsigned>(hr));
            *out = std::wstring_view(secret);
        }
    } catch (...) {
        out->Wipe();
    }
}
