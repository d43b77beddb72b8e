#include "Directory.h"

#include <dsgetdc.h>
#include <lm.h>

namespace platform {
namespace {

class SystemDirectoryCalls final : public IDirectory {
public:
    BOOL LookupAccountName(const wchar_t* accountName, PSID sid, DWORD* sidBytes, wchar_t* domain, DWORD* domainChars,
                           SID_NAME_USE* use) override {
        return ::LookupAccountNameW(nullptr, accountName, sid, sidBytes, domain, domainChars, use);
    }
    BOOL LookupAccountSid(PSID sid, wchar_t* name, DWORD* nameChars, wchar_t* domain, DWORD* domainChars,
                          SID_NAME_USE* use) override {
        return ::LookupAccountSidW(nullptr, sid, name, nameChars, domain, domainChars, use);
    }
    DWORD GetDcDomainName(const wchar_t* domain, ULONG flags, std::wstring* dcDomain) override {
        PDOMAIN_CONTROLLER_INFOW info = nullptr;
        const DWORD result = ::DsGetDcNameW(nullptr, domain, nullptr, nullptr, flags, &info);
        if (result == ERROR_SUCCESS && info) {
            try {
                *dcDomain = info->DomainName ? info->DomainName : L"";
            } catch (...) {
                ::NetApiBufferFree(info);
                throw;
            }
        }
        if (info) ::NetApiBufferFree(info);
        return result;
    }
    BOOL TranslateName(const wchar_t* account, EXTENDED_NAME_FORMAT from, EXTENDED_NAME_FORMAT to, wchar_t* translated,
                       ULONG* chars) override {
        return ::TranslateNameW(account, from, to, translated, chars);
    }
};

}  // namespace

IDirectory& SystemDirectory() {
    static SystemDirectoryCalls directory;
    return directory;
}

}  // namespace platform
