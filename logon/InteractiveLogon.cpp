#include "InteractiveLogon.h"

#include "BufferWriter.h"
#include "PasswordProtection.h"

#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"

#include <cwchar>

using logon::BoundedLength;
using logon::ByteWriter;
using logon::kMaxCountedStringChars;
using logon::SizeSum;

namespace {

// A failed protection as a builder result. It must never read as success or as a size answer.
DWORD ProtectionFailureCode(HRESULT hr) {
    if (HRESULT_FACILITY(hr) != FACILITY_WIN32) return logon::kUnexpectedResult;
    DWORD code = HRESULT_CODE(hr);
    if (code == ERROR_SUCCESS || code == ERROR_INSUFFICIENT_BUFFER) return logon::kUnexpectedResult;
    return code;
}

}  // namespace

namespace {

// The arguments every call must get right, size query or not.
DWORD CheckInteractiveArguments(ULONG messageType, PCWSTR userName, const LUID* logonId, const DWORD* cbLogon) {
    if (!cbLogon || !userName || !*userName) {
        CORE::LogMessage(CORE::LOG_WARN, L"BuildInteractiveLogonBuffer: Invalid parameters cbLogon=%p, UserName=%p",
                         cbLogon, userName);
        return ERROR_INVALID_PARAMETER;
    }
    if (messageType != logon::kKerbInteractiveLogon && messageType != logon::kKerbWorkstationUnlockLogon) {
        CORE::LogMessage(CORE::LOG_WARN, L"BuildInteractiveLogonBuffer: Invalid MessageType = %d",
                         static_cast<int>(messageType));
        return ERROR_INVALID_PARAMETER;
    }
    if (messageType == logon::kKerbWorkstationUnlockLogon && !logonId) {
        CORE::LogMessage(CORE::LOG_WARN, L"BuildInteractiveLogonBuffer: LogonId is mandatory for unlock");
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD BuildInteractiveLogonBuffer(ULONG messageType, PCWSTR domainName, PCWSTR userName, PCWSTR protectedPassword,
                                  const LUID* logonId, CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario,
                                  BYTE* logonBuffer, DWORD* cbLogon) noexcept {
    if (DWORD invalid = CheckInteractiveArguments(messageType, userName, logonId, cbLogon)) return invalid;
    logon::ZeroCallerBuffer(logonBuffer, cbLogon);

    const size_t domainChars = BoundedLength(domainName, kMaxCountedStringChars);
    if (domainChars > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildInteractiveLogonBuffer: Failed invalid domain name.");
        return ERROR_INVALID_PARAMETER;
    }
    const size_t userChars = BoundedLength(userName, kMaxCountedStringChars);
    if (userChars > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildInteractiveLogonBuffer: Failed invalid username.");
        return ERROR_INVALID_PARAMETER;
    }

    // Released (and wiped) on every path from here.
    CORE::SecureWString password;
    HRESULT hr = DecryptAndProtectPassword(protectedPassword, usageScenario, &password);
    if (FAILED(hr)) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildInteractiveLogonBuffer: Password protect failed.");
        return ProtectionFailureCode(hr);
    }
    if (password.size() > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildInteractiveLogonBuffer: Failed invalid password.");
        return ERROR_INVALID_PARAMETER;
    }

    DWORD needed = 0;
    if (!SizeSum(kInteractiveLogonHeaderSize).AddChars(domainChars).AddChars(userChars).AddChars(password.size())
             .ToDword(&needed))
        return ERROR_ARITHMETIC_OVERFLOW;
    if (!logonBuffer || *cbLogon < needed) {
        *cbLogon = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }

    ByteWriter out(logonBuffer, needed);
    out.U32(0, messageType);
    size_t cursor = kInteractiveLogonHeaderSize;
    out.PackString(8, domainName, domainChars, &cursor, false);
    out.PackString(24, userName, userChars, &cursor, false);
    out.PackString(40, password.data(), password.size(), &cursor, false);
    if (messageType == logon::kKerbWorkstationUnlockLogon) out.Luid(56, *logonId);
    if (!out.Ok() || cursor != needed) {
        ::SecureZeroMemory(logonBuffer, needed);
        return logon::kUnexpectedResult;
    }
    *cbLogon = needed;
    return ERROR_SUCCESS;
}

HRESULT PackInteractiveLogon(PCWSTR domainName, PCWSTR userName, PCWSTR protectedPassword,
                             CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario, BYTE** logonBuffer,
                             DWORD* cbLogon) noexcept {
    if (logonBuffer) *logonBuffer = nullptr;
    if (cbLogon) *cbLogon = 0;
    if (!logonBuffer || !cbLogon) return E_INVALIDARG;

    CORE::SecureWString password;
    HRESULT hr = DecryptAndProtectPassword(protectedPassword, usageScenario, &password);
    if (FAILED(hr)) return hr;

    // A counted string holds at most 65535 bytes; a text that runs on past 65535 characters is
    // not a string at all.
    constexpr size_t kTerminatedWithin = 0xFFFF;
    const wchar_t* domain = domainName ? domainName : L"";
    const wchar_t* user = userName ? userName : L"";
    const size_t userChars = wcsnlen(user, kTerminatedWithin);
    size_t domainChars = wcsnlen(domain, kTerminatedWithin);
    // A UPN names its domain itself; the LSA must not get a second one.
    if (domainChars > 0 && userChars < kTerminatedWithin && wmemchr(user, L'@', userChars)) {
        domain = L"";
        domainChars = 0;
    }
    for (size_t chars : {domainChars, userChars, password.size()}) {
        if (chars >= kTerminatedWithin) return E_INVALIDARG;
    }
    for (size_t chars : {domainChars, userChars, password.size()}) {
        if (chars > kMaxCountedStringChars) return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
    }

    ULONG messageType = 0;
    switch (usageScenario) {
    case CPUS_LOGON: messageType = logon::kKerbInteractiveLogon; break;
    case CPUS_UNLOCK_WORKSTATION: messageType = logon::kKerbWorkstationUnlockLogon; break;
    case CPUS_CREDUI: messageType = 0; break;  // the message type does not apply to credential UI
    default: return E_FAIL;
    }

    DWORD size = 0;
    if (!SizeSum(kInteractiveLogonHeaderSize).AddChars(domainChars).AddChars(userChars).AddChars(password.size())
             .ToDword(&size))
        return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
    auto buffer = platform::unique_cotask<BYTE>::alloc(size);
    if (!buffer) return E_OUTOFMEMORY;
    ::SecureZeroMemory(buffer.get(), size);

    ByteWriter out(buffer.get(), size);
    out.U32(0, messageType);
    size_t cursor = kInteractiveLogonHeaderSize;
    out.PackString(8, domain, domainChars, &cursor, true);
    out.PackString(24, user, userChars, &cursor, true);
    out.PackString(40, password.data(), password.size(), &cursor, true);
    if (!out.Ok() || cursor != size) {
        ::SecureZeroMemory(buffer.get(), size);
        return E_UNEXPECTED;
    }
    *logonBuffer = buffer.release();
    *cbLogon = size;
    return S_OK;
}
