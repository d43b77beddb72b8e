// A private HKLM in which the key vault works: Wine's DPAPI looks up its crypto provider under
// HKLM, which the sandbox hides, so the provider's registration is copied in. It is read from
// the real HKLM once, before main, when no sandbox can be active yet.
#pragma once
#include "support/RegistrySandbox.h"

#include <windows.h>

#include <string>
#include <vector>

namespace vaulttest {

struct RegistryValue {
    std::wstring key, name;
    DWORD type;
    std::vector<BYTE> data;
};

inline std::vector<RegistryValue> ReadCryptoProviderRegistration() {
    static const wchar_t* const kKeys[] = {
        L"Software\\Microsoft\\Cryptography\\Defaults\\Provider\\Microsoft Enhanced Cryptographic Provider v1.0",
        L"Software\\Microsoft\\Cryptography\\Defaults\\Provider\\Microsoft Base Cryptographic Provider v1.0",
        L"Software\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001",
    };
    std::vector<RegistryValue> values;
    for (const wchar_t* path : kKeys) {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD nameLength = 256, type = 0, size = 0;
            if (::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
            RegistryValue value{path, std::wstring(name, nameLength), type, std::vector<BYTE>(size)};
            nameLength = 256;
            if (::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, value.data.data(), &size) ==
                ERROR_SUCCESS)
                values.push_back(std::move(value));
        }
        ::RegCloseKey(key);
    }
    return values;
}

inline const std::vector<RegistryValue> g_cryptoProvider = ReadCryptoProviderRegistration();

class VaultSandbox : public testsupport::RegistrySandbox {
public:
    VaultSandbox() {
        for (const RegistryValue& v : g_cryptoProvider)
            SetValue(v.key, v.name, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    }
};

}  // namespace vaulttest
