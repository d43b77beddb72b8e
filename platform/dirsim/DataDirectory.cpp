#include "DataDirectory.h"

#include <sddl.h>

#include <cstring>
#include <cwchar>

namespace platform::dirsim {

namespace {

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

}  // namespace

BOOL DataDirectory::LookupAccountName(const wchar_t* name, PSID sid, DWORD* sidBytes, wchar_t*, DWORD*,
                                      SID_NAME_USE*) {
    calls.push_back(L"name:" + std::wstring(name));
    auto found = byUpn.find(name);
    PSID converted = nullptr;
    if (found == byUpn.end() || !::ConvertStringSidToSidW(found->second.sid.c_str(), &converted))
        return Fail(ERROR_NONE_MAPPED);
    const DWORD needed = ::GetLengthSid(converted);
    const bool fits = *sidBytes >= needed;
    if (fits) std::memcpy(sid, converted, needed);
    *sidBytes = needed;
    ::LocalFree(converted);
    return fits ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
}

BOOL DataDirectory::LookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain, DWORD* domainChars,
                                     SID_NAME_USE* use) {
    wchar_t* text = nullptr;
    ::ConvertSidToStringSidW(sid, &text);
    const std::wstring sidText = text ? text : L"";
    ::LocalFree(text);
    calls.push_back(L"sid:" + (sidText.empty() ? std::wstring(L"?") : sidText));
    for (const DirectoryAccount& a : bySid) {
        if (a.sid != sidText) continue;
        if (*nameChars <= a.name.size() || *domainChars <= a.domain.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
        wcscpy(name, a.name.c_str());
        wcscpy(domain, a.domain.c_str());
        *use = SidTypeUser;
        return TRUE;
    }
    return Fail(ERROR_NONE_MAPPED);
}

DWORD DataDirectory::GetDcDomainName(const wchar_t* domain, ULONG flags, std::wstring* dcDomain) {
    calls.push_back(L"dc:" + std::wstring(domain) + L"/" + std::to_wstring(flags));
    auto found = dcDomains.find(domain);
    if (found == dcDomains.end()) return ERROR_NO_SUCH_DOMAIN;
    *dcDomain = found->second;
    return ERROR_SUCCESS;
}

BOOL DataDirectory::TranslateName(const wchar_t* account, EXTENDED_NAME_FORMAT from, EXTENDED_NAME_FORMAT to,
                                  wchar_t* out, ULONG* chars) {
    calls.push_back(L"tr:" + std::wstring(account));
    auto found = canonical.find(account);
    if (from != NameSamCompatible || to != NameCanonical || found == canonical.end()) return Fail(ERROR_NO_SUCH_DOMAIN);
    if (*chars <= found->second.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    wcscpy(out, found->second.c_str());
    return TRUE;
}

}  // namespace platform::dirsim
