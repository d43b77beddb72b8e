#include "AccountResolution.h"

#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "platform/Platform.h"
#include "platform/UniqueResource.h"

#include <sddl.h>
#include <dsgetdc.h>

#include <algorithm>

using namespace CORE;

namespace {

constexpr DWORD kNameChars = 1024, kDomainChars = 256, kSidBytes = 68;
constexpr ULONG kDcFlags = DS_DIRECTORY_SERVICE_REQUIRED | DS_IS_FLAT_NAME | DS_RETURN_DNS_NAME;  // 0x40010010

bool Fail(DWORD error) {
    ::SetLastError(error);
    return false;
}

// The brokered user's SID when hint optimization allows it and it converts to a valid SID.
platform::unique_hlocal SidFromString(bool hintOptimizationDisabled, PCWSTR sid) {
    platform::unique_hlocal converted;
    if (hintOptimizationDisabled || !sid || !*sid) return converted;
    LogMessage(LOG_TRACE, L"Sid Lookup %s", sid);
    PSID raw = nullptr;
    if (!::ConvertStringSidToSidW(sid, &raw)) {
        LogMessage(LOG_ERROR, L"Failed to ConvertStringSidToSid %d", static_cast<int>(::GetLastError()));
        return converted;
    }
    converted.reset(raw);
    if (!::IsValidSid(raw)) {
        LogMessage(LOG_ERROR, L"InvalidSid");
        converted.reset();
    }
    return converted;
}

// The SID of the UPN's account, in a zeroed buffer of its own.
platform::unique_hlocal SidOfUpn(PCWSTR upn) {
    platform::unique_hlocal sid;
    if (!upn || !*upn) {
        LogMessage(LOG_ERROR, L"No valid SID or UPN Specified");
        ::SetLastError(ERROR_INVALID_DATA);
        return sid;
    }
    sid.reset(::LocalAlloc(LPTR, kSidBytes));
    if (!sid) {
        LogMessage(LOG_ERROR, L"Failed to allocated memory for SID");
        return sid;
    }
    LogMessage(LOG_TRACE, L"Name Lookup: %s", upn);
    DWORD sidBytes = kSidBytes, domainChars = kDomainChars;
    wchar_t domain[kDomainChars] = {};
    SID_NAME_USE use = SidTypeUnknown;
    if (!platform::Get().Directory().LookupAccountName(upn, sid.get(), &sidBytes, domain, &domainChars, &use)) {
        const DWORD error = ::GetLastError();
        LogMessage(LOG_ERROR, L"Failed to LookupAccountName %d", static_cast<int>(error));
        sid.reset();
        ::SetLastError(error);
    }
    return sid;
}

}  // namespace

bool LookupFQDNDomain(bool hintOptimizationDisabled, const std::wstring& netbiosDomain, std::wstring* dnsDomain) {
    platform::IDirectory& directory = platform::Get().Directory();
    if (!hintOptimizationDisabled) {
        const DWORD result = directory.GetDcDomainName(netbiosDomain.c_str(), kDcFlags, dnsDomain);
        if (result != ERROR_SUCCESS) {
            LogMessage(LOG_ERROR, L"DsGetDCName failed %d", static_cast<int>(result));
            return Fail(result);
        }
        return true;
    }
    wchar_t canonical[kDomainChars] = {};
    ULONG chars = kDomainChars;
    if (!directory.TranslateName((netbiosDomain + L"\\").c_str(), NameSamCompatible, NameCanonical, canonical, &chars)) {
        const DWORD error = ::GetLastError();
        LogMessage(LOG_ERROR, L"%s: Failed to translate netBIOS: %s. Error: %s\n", L"LookupFQDNDomain",
                   netbiosDomain.c_str(), SystemErrorText(error).c_str());
        return Fail(error);
    }
    dnsDomain->assign(canonical);
    dnsDomain->erase(std::remove(dnsDomain->begin(), dnsDomain->end(), L'/'), dnsDomain->end());
    return true;
}

bool GetCredentialsFromUPN(bool hintOptimizationDisabled, PCWSTR sid, PCWSTR upn, bool lookupDnsDomain,
                           std::wstring* userName, std::wstring* domainName) {
    platform::unique_hlocal accountSid = SidFromString(hintOptimizationDisabled, sid);
    if (!accountSid) accountSid = SidOfUpn(upn);
    if (!accountSid) return false;
    wchar_t name[kNameChars] = {}, domain[kDomainChars] = {};
    DWORD nameChars = kNameChars, domainChars = kDomainChars;
    SID_NAME_USE use = SidTypeUnknown;
    if (!platform::Get().Directory().LookupAccountSid(accountSid.get(), name, &nameChars, domain, &domainChars, &use)) {
        const DWORD error = ::GetLastError();
        LogMessage(LOG_ERROR, L"Failed to LookupAccountSid %d", static_cast<int>(error));
        return Fail(error);
    }
    std::wstring dnsDomain;
    if (lookupDnsDomain) {
        if (!LookupFQDNDomain(hintOptimizationDisabled, domain, &dnsDomain)) {
            dnsDomain.clear();
            LogMessage(LOG_WARN, L"GetCredentialsFromUPN(): Failed to get fqdn for domain: '%s'", domain);
        } else {
            LogMessage(LOG_TRACE, L"GetCredentialsFromUPN(): Looked up domain %s from %s\n", domain, dnsDomain.c_str());
        }
    }
    if (!*name || !*domain) {
        LogMessage(LOG_ERROR, L"Failed to resolve userName or domainName");
        return Fail(ERROR_INVALID_DATA);
    }
    LogMessage(LOG_TRACE, L"Resolved: User=%s, Domain=%s, dnsDomain=%s", name, domain, dnsDomain.c_str());
    *userName = name;
    *domainName = dnsDomain.empty() ? std::wstring(domain) : dnsDomain;
    return true;
}
