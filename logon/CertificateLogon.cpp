#include "CertificateLogon.h"

#include "BufferWriter.h"
#include "CspInfo.h"

#include "lib/mfw/common/log/SysMessage.h"

using logon::BoundedLength;
using logon::kMaxCountedStringChars;

namespace {

// The arguments every call must get right, size query or not.
DWORD CheckArguments(ULONG messageType, PCWSTR containerName, PCWSTR cspName, const LUID* logonId,
                     const DWORD* cbCertLogon) {
    if (!cbCertLogon || !containerName || !*containerName || !cspName || !*cspName) {
        CORE::LogMessage(CORE::LOG_WARN,
                         L"BuildCertificateLogonBuffer: Invalid parameters cbCertLogon=%p, ContainerName=%p, "
                         L"*ContainerName=%c, CSPName=%p, *CSPName=%c",
                         cbCertLogon, containerName, (containerName && *containerName) ? *containerName : L'0',
                         cspName, (cspName && *cspName) ? *cspName : L'0');
        return ERROR_INVALID_PARAMETER;
    }
    if (messageType != logon::kKerbCertificateLogon && messageType != logon::kKerbCertificateUnlockLogon) {
        CORE::LogMessage(CORE::LOG_WARN, L"BuildCertificateLogonBuffer: Invalid MessageType = %d",
                         static_cast<int>(messageType));
        return ERROR_INVALID_PARAMETER;
    }
    if (messageType == logon::kKerbCertificateUnlockLogon && !logonId) {
        CORE::LogMessage(CORE::LOG_WARN, L"BuildCertificateLogonBuffer: LogonId is mandatory for unlock");
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

// The three strings' lengths, each within a counted string.
DWORD MeasureStrings(PCWSTR domainName, PCWSTR userName, PCWSTR pin, size_t* domainChars, size_t* userChars,
                     size_t* pinChars) {
    *domainChars = BoundedLength(domainName, kMaxCountedStringChars);
    if (*domainChars > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildCertificateLogonBuffer: Failed invalid domain name.");
        return ERROR_INVALID_PARAMETER;
    }
    *userChars = BoundedLength(userName, kMaxCountedStringChars);
    if (*userChars > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildCertificateLogonBuffer: Failed invalid username.");
        return ERROR_INVALID_PARAMETER;
    }
    *pinChars = BoundedLength(pin, kMaxCountedStringChars);
    if (*pinChars > kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildCertificateLogonBuffer: Failed invalid pin.");
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD BuildCertificateLogonBuffer(ULONG messageType, PCWSTR domainName, PCWSTR userName, PCWSTR pin,
                                  const LUID* logonId, DWORD keySpec, PCWSTR cardName, PCWSTR readerName,
                                  PCWSTR containerName, PCWSTR cspName, BYTE* certLogon, DWORD* cbCertLogon) noexcept {
    DWORD result = CheckArguments(messageType, containerName, cspName, logonId, cbCertLogon);
    if (result != ERROR_SUCCESS) return result;
    logon::ZeroCallerBuffer(certLogon, cbCertLogon);
    size_t domainChars = 0, userChars = 0, pinChars = 0;
    result = MeasureStrings(domainName, userName, pin, &domainChars, &userChars, &pinChars);
    if (result != ERROR_SUCCESS) return result;

    logon::CspInfoLayout csp;
    if (!logon::MeasureCspInfo(cardName, readerName, containerName, cspName, &csp)) return ERROR_ARITHMETIC_OVERFLOW;
    logon::SizeSum strings(kCertificateLogonHeaderSize);
    strings.AddChars(domainChars).AddChars(userChars).AddChars(pinChars);
    const size_t cspOffset = strings.Value();
    DWORD needed = 0;
    if (!strings.Add(csp.size).ToDword(&needed)) return ERROR_ARITHMETIC_OVERFLOW;
    if (!certLogon || *cbCertLogon < needed) {
        *cbCertLogon = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }

    logon::ByteWriter out(certLogon, needed);
    // The Kerberos package reads an unlock from the LogonId; the message type stays the logon.
    out.U32(0, logon::kKerbCertificateLogon);
    if (messageType == logon::kKerbCertificateUnlockLogon) out.Luid(72, *logonId);
    out.U32(56, 0);
    size_t cursor = kCertificateLogonHeaderSize;
    out.PackString(8, domainName, domainChars, &cursor, false);
    out.PackString(24, userName, userChars, &cursor, false);
    out.PackString(40, pin, pinChars, &cursor, false);
    if (!out.Ok() || cursor != cspOffset) {
        ::SecureZeroMemory(certLogon, needed);
        return logon::kUnexpectedResult;
    }

    DWORD cspSize = csp.size;
    result = BuildCspInfo(keySpec, cardName, readerName, containerName, cspName, certLogon + cspOffset, &cspSize);
    if (result != ERROR_SUCCESS) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildCertificateLogonBuffer: BuildCspInfo failed with error %s",
                         logon::ResultText(result).c_str());
        ::SecureZeroMemory(certLogon, needed);
        // Nothing else was sized wrongly: a size answer here would mislead the caller.
        return result == ERROR_INSUFFICIENT_BUFFER ? logon::kUnexpectedResult : result;
    }
    out.U32(60, cspSize);
    out.U64(64, cspOffset);
    if (!out.Ok()) {
        ::SecureZeroMemory(certLogon, needed);
        return logon::kUnexpectedResult;
    }
    *cbCertLogon = needed;
    return ERROR_SUCCESS;
}
