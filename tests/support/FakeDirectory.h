// A scripted directory: accounts by UPN and SID, domain controllers' DNS names and canonical
// names; every call is recorded as "name:<upn>", "sid:<sid>", "dc:<domain>/<flags>" or "tr:<account>".
#pragma once
#include "platform/Directory.h"

#include <sddl.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class FakeDirectory final : public platform::IDirectory {
public:
    struct Account { std::wstring sid, name, domain; };
    std::map<std::wstring, Account> byUpn;           // a UPN's account
    std::vector<Account> bySid;                      // accounts LookupAccountSid knows
    std::map<std::wstring, std::wstring> dcDomains;  // NetBIOS name -> DNS name; others: no such domain
    std::map<std::wstring, std::wstring> canonical;  // "CORP\" -> "corp.example/"
    std::vector<std::wstring> calls;

    BOOL LookupAccountName(const wchar_t* name, PSID sid, DWORD* sidBytes, wchar_t*, DWORD*, SID_NAME_USE*) override {
        calls.push_back(L"name:" + std::wstring(name));
        auto found = byUpn.find(name);
        PSID converted = nullptr;
        if (found == byUpn.end() || !::ConvertStringSidToSidW(found->second.sid.c_str(), &converted)) return Fail(ERROR_NONE_MAPPED);
        const DWORD needed = ::GetLengthSid(converted);
        const bool fits = *sidBytes >= needed;
        if (fits) std::memcpy(sid, converted, needed);
        *sidBytes = needed;
        ::LocalFree(converted);
        return fits ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    BOOL LookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain, DWORD* domainChars,
                          SID_NAME_USE* use) override {
        wchar_t* text = nullptr;
        ::ConvertSidToStringSidW(sid, &text);
        calls.push_back(L"sid:" + std::wstring(text ? text : L"?"));
        const std::wstring sidText = text ? text : L"";
        ::LocalFree(text);
        for (const Account& a : bySid) {
            if (a.sid != sidText) continue;
            if (*nameChars <= a.name.size() || *domainChars <= a.domain.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
            wcscpy(name, a.name.c_str()), wcscpy(domain, a.domain.c_str()), *use = SidTypeUser;
            return TRUE;
        }
        return Fail(ERROR_NONE_MAPPED);
    }
    DWORD GetDcDomainName(const wchar_t* domain, ULONG flags, std::wstring* dcDomain) override {
        calls.push_back(L"dc:" + std::wstring(domain) + L"/" + std::to_wstring(flags));
        auto found = dcDomains.find(domain);
        if (found == dcDomains.end()) return ERROR_NO_SUCH_DOMAIN;
        *dcDomain = found->second;
        return ERROR_SUCCESS;
    }
    BOOL TranslateName(const wchar_t* account, EXTENDED_NAME_FORMAT from, EXTENDED_NAME_FORMAT to, wchar_t* out,
                       ULONG* chars) override {
        calls.push_back(L"tr:" + std::wstring(account));
        auto found = canonical.find(account);
        if (from != NameSamCompatible || to != NameCanonical || found == canonical.end()) return Fail(ERROR_NO_SUCH_DOMAIN);
        if (*chars <= found->second.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
        wcscpy(out, found->second.c_str());
        return TRUE;
    }

private:
    static BOOL Fail(DWORD error) {
        ::SetLastError(error);
        return FALSE;
    }
};

}  // namespace testsupport
