// The account and directory calls of account resolution, behind the seam because Wine knows no
// domain accounts and has no directory service. Each has the contract of the Win32 call it
// names, on the local system (no system name).
#pragma once
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include <string>

namespace platform {

class IDirectory {
public:
    virtual ~IDirectory() = default;
    virtual BOOL LookupAccountName(const wchar_t* accountName, PSID sid, DWORD* sidBytes, wchar_t* domain,
                                   DWORD* domainChars, SID_NAME_USE* use) = 0;
    virtual BOOL LookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain, DWORD* domainChars,
                                  SID_NAME_USE* use) = 0;
    // DsGetDcNameW without computer name, GUID or site: its result, and on success the domain
    // name of the answer (the information block is freed here).
    virtual DWORD GetDcDomainName(const wchar_t* domain, ULONG flags, std::wstring* dcDomain) = 0;
    virtual BOOL TranslateName(const wchar_t* account, EXTENDED_NAME_FORMAT from, EXTENDED_NAME_FORMAT to,
                               wchar_t* translated, ULONG* chars) = 0;
};

// The real calls (advapi32, netapi32, secur32).
IDirectory& SystemDirectory();

}  // namespace platform
