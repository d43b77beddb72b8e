#include "KerbCertificateLogon.h"

#include "AccountResolution.h"
#include "BufferWriter.h"
#include "CertificateLogon.h"
#include "CspInfo.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"

#include <cwchar>
#include <new>

namespace {

constexpr HRESULT kNoMemory = static_cast<HRESULT>(0x80100006L);  // SCARD_E_NO_MEMORY

const wchar_t* OrEmpty(PCWSTR text) { return text ? text : L""; }
const wchar_t* BoolText(bool value) { return value ? L"true" : L"false"; }

// What the buffer carries as hints for the Kerberos package.
struct Hints {
    std::wstring user;
    std::wstring domain;
    bool passDomain = false;
    std::wstring firstUpn;
};

// No user and no domain, or a user in UPN form: the account comes from the brokered user's SID
// or the first UPN the certificate accepts.
void ResolveHints(PCWSTR brokerUserSid, const std::vector<std::wstring>& upnList, bool isCertSso,
                  bool disableDomainHint, Hints* hints) {
    // CertSSO keys are issued for the domain account: always resolve fully, never by UPN alone.
    const bool lookupFqdn =
        isCertSso || CORE::ReadConfigBool(L"\\Agent\\Configuration\\LookupFQDNOnSmartCard", L"true");
    const bool useDomain =
        isCertSso || CORE::ReadConfigBool(L"\\Agent\\Configuration\\UseDomainOnSmartCard", L"false");
    const bool hintOptimizationDisabled =
        !isCertSso &&
        CORE::ParseBool(CORE::ReadRegistryValue(
            CORE::GetConfigRoot(L"HKLM") + L"\\Agent\\Configuration\\DisableSmartCardHintOptimization", L"false"));
    if (hintOptimizationDisabled) CORE::LogMessage(CORE::LOG_DEBUG, L"SmartCardHintOptimization is DISABLED");

    if (!upnList.empty()) hints->firstUpn = upnList.front();
    const bool sidUsable = !hintOptimizationDisabled && brokerUserSid && *brokerUserSid;
    if (!sidUsable && hints->firstUpn.empty()) {
        CORE::LogMessage(CORE::LOG_DEBUG, L"clientUPNs was unexpectedly empty.");
        return;
    }

    std::wstring user;
    std::wstring domain;
    if (!GetCredentialsFromUPN(hintOptimizationDisabled, brokerUserSid, hints->firstUpn.c_str(),
                               lookupFqdn && useDomain, &user, &domain)) {
        const DWORD error = ::GetLastError();
        if (!hints->firstUpn.empty())
            CORE::LogMessage(CORE::LOG_DEBUG, L"Unable to retrieve account information for user principal name '%s'. %s",
                             hints->firstUpn.c_str(), logon::ResultText(error).c_str());
        else
            CORE::LogMessage(CORE::LOG_DEBUG, L"Unable to retrieve account information for user");
        return;
    }
    hints->user = user;
    if (useDomain && disableDomainHint) {
        CORE::LogMessage(CORE::LOG_DEBUG,
                         L"BuildKerbCertificateLogon(): Mapped user principal to '%s' '%s', domain not passed to lsa",
                         user.c_str(), domain.c_str());
        return;
    }
    CORE::LogMessage(CORE::LOG_DEBUG, L"BuildKerbCertificateLogon(): Mapped user principal to '%s' '%s'", user.c_str(),
                     domain.c_str());
    if (useDomain) {
        hints->domain = domain;
        hints->passDomain = true;
    }
}

// The user and domain hints: given ones when they name a domain account, else resolved.
Hints ChooseHints(const KerbCertificateLogonRequest& request, bool disableDomainHint) {
    const wchar_t* user = OrEmpty(request.userName);
    const wchar_t* domain = OrEmpty(request.domainName);
    const wchar_t* dnsDomain = OrEmpty(request.dnsDomainName);
    Hints hints;
    if (*user && *domain && !wcschr(user, L'@')) {
        hints.user = user;
        hints.domain = *dnsDomain ? dnsDomain : domain;
        hints.passDomain = !disableDomainHint;
    } else {
        ResolveHints(request.brokerUserSid, request.upnList, request.isCertSso, disableDomainHint, &hints);
    }
    if (hints.passDomain) {
        if (hints.domain.empty()) {
            if (!hints.firstUpn.empty())
                CORE::LogMessage(CORE::LOG_TRACE, L"Did not find the domain for UPN %s.", hints.firstUpn.c_str());
            hints.passDomain = false;
        } else {
            CORE::LogMessage(CORE::LOG_TRACE, L"Kerberos certificate will use domain: %s", hints.domain.c_str());
        }
    }
    return hints;
}

// Lays out header, strings and CSP block into a new buffer of `size` bytes.
HRESULT WriteLogon(const KerbCertificateLogonRequest& request, const Hints& hints, size_t domainChars,
                   size_t pinChars, const logon::CspInfoLayout& csp, DWORD size, BYTE** logonBuffer, DWORD* cbLogon) {
    auto buffer = platform::unique_cotask<BYTE>::alloc(size);
    if (!buffer) {
        CORE::LogMessage(CORE::LOG_ERROR, L"CoTaskMemAlloc FAILED");
        return kNoMemory;
    }
    ::SecureZeroMemory(buffer.get(), size);
    logon::ByteWriter out(buffer.get(), size);
    out.U32(0, request.scenario == CPUS_UNLOCK_WORKSTATION ? logon::kKerbCertificateUnlockLogon
                                                           : logon::kKerbCertificateLogon);
    size_t cursor = kCertificateLogonHeaderSize;
    out.PackString(8, hints.domain.c_str(), domainChars, &cursor, false);
    out.PackString(24, hints.user.c_str(), hints.user.size(), &cursor, false);
    out.PackString(40, OrEmpty(request.pin), pinChars, &cursor, true);
    out.U32(56, 0);
    out.U32(60, csp.size);
    out.U64(64, cursor);
    logon::WriteCspInfo(out, cursor, request.keySpec, csp);
    if (!out.Ok()) {
        ::SecureZeroMemory(buffer.get(), size);
        return E_UNEXPECTED;
    }
    if (*logonBuffer) {
        ::SecureZeroMemory(*logonBuffer, *cbLogon);
        ::CoTaskMemFree(*logonBuffer);
    }
    *logonBuffer = buffer.release();
    *cbLogon = size;
    return S_OK;
}

HRESULT Build(const KerbCertificateLogonRequest& request, BYTE** logonBuffer, DWORD* cbLogon) {
    const bool disableDomainHint =
        CORE::ReadConfigBool(L"\\Agent\\Configuration\\DisableSmartcardDomainHint", L"false");
    CORE::LogMessage(CORE::LOG_TRACE,
                     L"BuildKerbCertificateLogon(): Enter: user=%s, domain=%s, dnsDomain=%s, CertSSO logon=%s, "
                     L"Smartcard logon=%s%s",
                     OrEmpty(request.userName), OrEmpty(request.domainName), OrEmpty(request.dnsDomainName),
                     BoolText(request.isCertSso), BoolText(!request.isCertSso),
                     disableDomainHint ? L", disable Smartcard domain hint=true" : L"");
    const Hints hints = ChooseHints(request, disableDomainHint);
    const size_t domainChars = hints.passDomain ? hints.domain.size() : 0;
    const size_t pinChars = logon::BoundedLength(request.pin, logon::kMaxCountedStringChars);
    if (domainChars > logon::kMaxCountedStringChars || hints.user.size() > logon::kMaxCountedStringChars ||
        pinChars > logon::kMaxCountedStringChars) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildKerbCertificateLogon(): user, domain or pin too long for a logon");
        return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    }
    logon::CspInfoLayout csp;
    DWORD size = 0;
    logon::SizeSum sum(kKerbCertificateLogonFixedSize);
    sum.AddChars(hints.user.size()).AddChars(pinChars).AddChars(domainChars);
    if (!logon::MeasureCspInfo(request.cardName, request.readerName, request.containerName, request.providerName,
                               &csp) ||
        !sum.AddChars(csp.chars[0]).AddChars(csp.chars[1]).AddChars(csp.chars[2]).AddChars(csp.chars[3]).ToDword(&size)) {
        CORE::LogMessage(CORE::LOG_ERROR, L"BuildKerbCertificateLogon(): names too long for a logon");
        return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
    }
    return WriteLogon(request, hints, domainChars, pinChars, csp, size, logonBuffer, cbLogon);
}

}  // namespace

HRESULT BuildKerbCertificateLogon(const KerbCertificateLogonRequest& request, BYTE** logonBuffer,
                                  DWORD* cbLogon) noexcept {
    if (!logonBuffer || !cbLogon) return E_INVALIDARG;
    try {
        return Build(request, logonBuffer, cbLogon);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
