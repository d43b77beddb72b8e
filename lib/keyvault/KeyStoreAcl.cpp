#include "KeyStoreAcl.h"

#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "platform/UniqueResource.h"

#include <sddl.h>

#include <atomic>
#include <vector>

namespace keyvault::detail {
namespace {

bool IsSystemOrAdministrators(PSID sid) {
    return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// The key's DACL; false when it cannot be read.
bool ReadKeySecurity(HKEY key, std::vector<BYTE>* descriptor) {
    DWORD size = 0;
    if (::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return false;
    descriptor->resize(size);
    return ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor->data(), &size) == ERROR_SUCCESS;
}

}  // namespace

LSTATUS CreateProtectedKey(const wchar_t* path, REGSAM access, HKEY* key) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kKeyStoreSddl, SDDL_REVISION_1, &descriptor, nullptr))
        return static_cast<LSTATUS>(::GetLastError());
    platform::unique_hlocal descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    DWORD disposition = 0;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access | READ_CONTROL | WRITE_DAC | KEY_WOW64_64KEY,
                                       &attributes, key, &disposition);
    if (status != ERROR_SUCCESS || disposition != REG_OPENED_EXISTING_KEY) return status;
    std::vector<BYTE> current;
    if (ReadKeySecurity(*key, &current) && !GrantsOthers(current.data())) return status;
    status = ::RegSetKeySecurity(*key, DACL_SECURITY_INFORMATION, descriptor);
    if (status != ERROR_SUCCESS) {
        ::RegCloseKey(*key);
        *key = nullptr;
    }
    return status;
}

bool GrantsOthers(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return false;
    if (!present || !dacl) return true;  // no DACL: everyone has full access
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, index, reinterpret_cast<void**>(&header))) return true;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if (ace->Mask != 0 && !IsSystemOrAdministrators(&ace->SidStart)) return true;
    }
    return false;
}

void ReportOpenKeyStore(PSECURITY_DESCRIPTOR descriptor) {
    static std::atomic<bool> reported{false};
    if (reported.load() || !GrantsOthers(descriptor) || reported.exchange(true)) return;
    CORE::LogMessage(CORE::LOG_ERROR,
                     L"KeyVault: the master key store grants access to others than SYSTEM and Administrators; "
                     L"any local user can open its keys. Restrict the key's permissions.");
}

void ReportOpenKeyStore(HKEY key) {
    std::vector<BYTE> descriptor;
    if (ReadKeySecurity(key, &descriptor)) ReportOpenKeyStore(descriptor.data());
}

}  // namespace keyvault::detail
