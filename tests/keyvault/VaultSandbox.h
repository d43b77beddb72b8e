// A private HKLM in which the key vault works: Wine's DPAPI looks up its crypto provider under
// HKLM, which the sandbox hides, so the providers' registration is copied in. The real key is
// opened once, before main, when no sandbox can be active yet; the open handle keeps reading it.
#pragma once
#include "platform/UniqueResource.h"
#include "support/RegistrySandbox.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace vaulttest {

// The master key of the openssl vectors.
inline const BYTE kVectorKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
                             0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};

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
