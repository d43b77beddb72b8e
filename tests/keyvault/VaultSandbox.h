// A private HKLM in which the key vault works: Wine's DPAPI looks up its crypto provider under
// HKLM, which the sandbox hides, so the providers' registration is copied in. The real key is
// opened once, before main, when no sandbox can be active yet; the open handle keeps reading it.
#pragma once
#include "platform/UniqueResource.h"
#include "support/RegistrySandbox.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace vaulttest {

inline const wchar_t kCryptoDefaults[] = L"Software\\Microsoft\\Cryptography\\Defaults";
inline const platform::unique_hkey g_cryptoDefaults = [] {
    platform::unique_hkey key;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptoDefaults, 0, KEY_READ, key.put());
    return key;
}();

class VaultSandbox : public testsupport::RegistrySandbox {
public:
    VaultSandbox() {
        platform::unique_hkey copy;
        EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCryptoDefaults, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    copy.put(), nullptr), ERROR_SUCCESS);
        EXPECT_EQ(::RegCopyTreeW(g_cryptoDefaults.get(), nullptr, copy.get()), ERROR_SUCCESS);
    }
};

}  // namespace vaulttest
