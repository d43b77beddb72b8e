// A directory described by data: accounts by UPN and by SID, the DNS names domain controllers
// answer for NetBIOS domains, and canonical names. Account resolution in the tests and in the
// _sim DLL runs against it, since Wine knows no domain accounts and has no directory service.
// Every call is recorded as "name:<upn>", "sid:<sid>", "dc:<domain>/<flags>" or "tr:<account>".
#pragma once
#include "platform/Directory.h"

#include <map>
#include <string>
#include <vector>

namespace platform::dirsim {

struct DirectoryAccount {
    std::wstring sid, name, domain;
};

struct DirectoryDescription {
    std::map<std::wstring, DirectoryAccount> byUpn;  // a UPN's account
    std::vector<DirectoryAccount> bySid;             // accounts LookupAccountSid knows
    std::map<std::wstring, std::wstring> dcDomains;  // NetBIOS name -> DNS name; others: no such domain
    std::map<std::wstring, std::wstring> canonical;  // "CORP\" -> "corp.example/"
};

class DataDirectory final : public IDirectory, public DirectoryDescription {
public:
    std::vector<std::wstring> calls;

    BOOL LookupAccountName(const wchar_t* name, PSID sid, DWORD* sidBytes, wchar_t* domain, DWORD* domainChars,
                           SID_NAME_USE* use) override;
    BOOL LookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain, DWORD* domainChars,
                          SID_NAME_USE* use) override;
    DWORD GetDcDomainName(const wchar_t* domain, ULONG flags, std::wstring* dcDomain) override;
    BOOL TranslateName(const wchar_t* account, EXTENDED_NAME_FORMAT from, EXTENDED_NAME_FORMAT to, wchar_t* translated,
                       ULONG* chars) override;
};

}  // namespace platform::dirsim
