#include "HybridLogon.h"

#include "BufferWriter.h"
#include "CertificateLogon.h"
#include "InteractiveLogon.h"

#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"

using logon::BoundedLength;
using logon::kMaxCountedStringChars;

namespace {

// The frame around either embedded logon: validated local strings, the size of the embedded
// buffer from its own builder's size query, then the header, the local strings and the
// embedded buffer built in place.
struct HybridFrame {
    const wchar_t* caller;    // "BuildHybridLogonBuffer"
    const wchar_t* embedded;  // "BuildInteractiveLogonBuffer"
    PCWSTR localUserName;
    PCWSTR localPassword;
};

// `build(buffer, size)` builds the embedded logon, or sizes it when buffer is null.
template <typename Build>
DWORD BuildFrame(const HybridFrame& frame, const Build& build, BYTE* hybridLogon, DWORD* cbHybridLogon) noexcept {
    const size_t localUserChars = BoundedLength(frame.localUserName, kMaxCountedStringChars);
    if (localUserChars > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"%s: Failed invalid username.", frame.caller);
        return ERROR_INVALID_PARAMETER;
    }
    const size_t localPasswordChars = BoundedLength(frame.localPassword, kMaxCountedStringChars);
    if (localPasswordChars > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"%s: Failed invalid password.", frame.caller);
        return ERROR_INVALID_PARAMETER;
    }

    DWORD embeddedSize = 0;
    DWORD result = build(nullptr, &embeddedSize);
    if (result == ERROR_SUCCESS) {
        CORE::LogMessage(CORE::LOG_ERROR, L"%s: %s returned invalid success response.", frame.caller, frame.embedded);
        return logon::kUnexpectedResult;
    }
    if (result != ERROR_INSUFFICIENT_BUFFER) return result;

    logon::SizeSum prefix(kHybridLogonHeaderSize);
    prefix.AddChars(localUserChars).AddChars(localPasswordChars);
    const size_t embeddedOffset = prefix.Value();
    DWORD needed = 0;
    if (!prefix.Add(embeddedSize).ToDword(&needed)) return ERROR_ARITHMETIC_OVERFLOW;
    if (!hybridLogon || *cbHybridLogon < needed) {
        *cbHybridLogon = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }

    logon::ByteWriter out(hybridLogon, needed);
    out.U32(0, kHybridLogonFormatTag);
    size_t cursor = kHybridLogonHeaderSize;
    out.PackString(8, frame.localUserName, localUserChars, &cursor, false);
    out.PackString(24, frame.localPassword, localPasswordChars, &cursor, false);
    if (!out.Ok() || cursor != embeddedOffset) {
        ::SecureZeroMemory(hybridLogon, needed);
        return logon::kUnexpectedResult;
    }
    // Exactly the size the query gave: a protected password that came out longer the second
    // time fails here rather than overrunning the frame.
    DWORD built = embeddedSize;
    result = build(hybridLogon + embeddedOffset, &built);
    if (result != ERROR_SUCCESS) {
        CORE::LogMessage(CORE::LOG_ERROR, L"%s: %s failed with error %s", frame.caller, frame.embedded,
                         logon::ResultText(result).c_str());
        ::SecureZeroMemory(hybridLogon, needed);
        // The caller's buffer was big enough: a size answer here would send it round again.
        return result == ERROR_INSUFFICIENT_BUFFER ? logon::kUnexpectedResult : result;
    }
    out.U32(40, built);
    out.U32(44, static_cast<uint32_t>(embeddedOffset));
    if (!out.Ok()) {
        ::SecureZeroMemory(hybridLogon, needed);
        return logon::kUnexpectedResult;
    }
    *cbHybridLogon = static_cast<DWORD>(embeddedOffset + built);
    return ERROR_SUCCESS;
}

// The allocating form shared by both wrappers.
template <typename Build>
HRESULT AllocateAndBuild(const wchar_t* caller, const wchar_t* builder, const Build& build, BYTE** pbHybridLogon,
                         DWORD* cbHybridLogon) noexcept {
    if (pbHybridLogon) *pbHybridLogon = nullptr;
    if (cbHybridLogon) *cbHybridLogon = 0;
    if (!pbHybridLogon || !cbHybridLogon) {
        CORE::LogMessage(CORE::LOG_WARN, L"%s: Invalid parameters pbHybridLogon=%p, cbHybridLogon=%p", caller,
                         pbHybridLogon, cbHybridLogon);
        return E_INVALIDARG;
    }
    DWORD size = 0;
    if (build(nullptr, &size) != ERROR_INSUFFICIENT_BUFFER) return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);
    auto buffer = platform::unique_cotask<BYTE>::alloc(size);
    if (!buffer) {
        CORE::LogMessage(CORE::LOG_ERROR, L"%s: Out of memory allocating buffer for hybrid logon cbBuffer=%u", caller,
                         static_cast<unsigned>(size));
        return E_OUTOFMEMORY;
    }
    DWORD used = size;
    DWORD result = build(buffer.get(), &used);
    if (result != ERROR_SUCCESS) {
        CORE::LogMessage(CORE::LOG_ERROR, L"%s: %s failed with error %s", caller, builder,
                         logon::ResultText(result).c_str());
        ::SecureZeroMemory(buffer.get(), size);
        return HRESULT_FROM_WIN32(result);
    }
    *pbHybridLogon = buffer.release();
    *cbHybridLogon = used;
    return S_OK;
}

}  // namespace

DWORD BuildHybridLogonBuffer(PCWSTR localUserName, PCWSTR localPassword, PCWSTR domainName, PCWSTR userName,
                             PCWSTR protectedPassword, CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario,
                             BYTE* hybridLogon, DWORD* cbHybridLogon) noexcept {
    if (!localUserName || !userName || !*userName || !cbHybridLogon) {
        CORE::LogMessage(CORE::LOG_WARN,
                         L"BuildHybridLogonBuffer: Invalid parameters LocalUserName=%p, UserName=%p, *UserName=%c, "
                         L"cbHybridLogon=%p",
                         localUserName, userName, (userName && *userName) ? *userName : L'0', cbHybridLogon);
        return ERROR_INVALID_PARAMETER;
    }
    logon::ZeroCallerBuffer(hybridLogon, cbHybridLogon);
    const HybridFrame frame{L"BuildHybridLogonBuffer", L"BuildInteractiveLogonBuffer", localUserName, localPassword};
    auto embedded = [&](BYTE* buffer, DWORD* size) {
        return BuildInteractiveLogonBuffer(logon::kKerbInteractiveLogon, domainName, userName, protectedPassword,
                                           nullptr, usageScenario, buffer, size);
    };
    return BuildFrame(frame, embedded, hybridLogon, cbHybridLogon);
}

DWORD BuildHybridCertificateLogonBuffer(PCWSTR localUserName, PCWSTR localPassword, PCWSTR domainName,
                                        PCWSTR userName, PCWSTR pin, DWORD keySpec, PCWSTR cardName, PCWSTR readerName,
                                        PCWSTR containerName, PCWSTR cspName, BYTE* hybridLogon,
                                        DWORD* cbHybridLogon) noexcept {
    if (!localUserName || !containerName || !*containerName || !cspName || !*cspName || !cbHybridLogon) {
        CORE::LogMessage(CORE::LOG_WARN,
                         L"BuildHybridCertificateLogonBuffer: Invalid parameters LocalUserName=%p, ContainerName=%p, "
                         L"*ContainerName=%c, CSPName=%p, *CSPName=%c, cbHybridLogon=%p",
                         localUserName, containerName, (containerName && *containerName) ? *containerName : L'0',
                         cspName, (cspName && *cspName) ? *cspName : L'0', cbHybridLogon);
        return ERROR_INVALID_PARAMETER;
    }
    logon::ZeroCallerBuffer(hybridLogon, cbHybridLogon);
    const HybridFrame frame{L"BuildHybridCertificateLogonBuffer", L"BuildCertificateLogonBuffer", localUserName,
                            localPassword};
    auto embedded = [&](BYTE* buffer, DWORD* size) {
        return BuildCertificateLogonBuffer(logon::kKerbCertificateLogon, domainName, userName, pin, nullptr, keySpec,
                                           cardName, readerName, containerName, cspName, buffer, size);
    };
    return BuildFrame(frame, embedded, hybridLogon, cbHybridLogon);
}

HRESULT CredFilterBuildHybridLogonBuffer(PCWSTR localUserName, PCWSTR localPassword, PCWSTR domainName,
                                         PCWSTR userName, PCWSTR protectedPassword,
                                         CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario, BYTE** pbHybridLogon,
                                         DWORD* cbHybridLogon) noexcept {
    auto build = [&](BYTE* buffer, DWORD* size) {
        return BuildHybridLogonBuffer(localUserName, localPassword, domainName, userName, protectedPassword,
                                      usageScenario, buffer, size);
    };
    return AllocateAndBuild(L"CredFilterBuildHybridLogonBuffer", L"BuildHybridLogonBuffer", build, pbHybridLogon,
                            cbHybridLogon);
}

HRESULT CredFilterBuildHybridCertificateLogonBuffer(PCWSTR localUserName, PCWSTR localPassword, PCWSTR domainName,
                                                    PCWSTR userName, PCWSTR pin, DWORD keySpec, PCWSTR cardName,
                                                    PCWSTR readerName, PCWSTR containerName, PCWSTR cspName,
                                                    BYTE** pbHybridLogon, DWORD* cbHybridLogon) noexcept {
    auto build = [&](BYTE* buffer, DWORD* size) {
        return BuildHybridCertificateLogonBuffer(localUserName, localPassword, domainName, userName, pin, keySpec,
                                                 cardName, readerName, containerName, cspName, buffer, size);
    };
    return AllocateAndBuild(L"CredFilterBuildHybridCertificateLogonBuffer", L"BuildHybridCertificateLogonBuffer",
                            build, pbHybridLogon, cbHybridLogon);
}
