// A private HKLM for one test: every HKLM access of the process goes to a fresh key under
// HKCU until the sandbox is destroyed, which removes the key again.
#pragma once
#include <windows.h>

#include <string>

namespace testsupport {

class RegistrySandbox {
public:
    RegistrySandbox();
    ~RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

    // Paths are relative to HKLM ("Software\\Velmora\\Zephral\\Agent\\Configuration").
    void SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value);
    void SetDword(const std::wstring& keyPath, const std::wstring& name, DWORD value);
    void SetValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data, DWORD size);
    // Setting under the product's agent configuration key.
    void SetAgentConfig(const std::wstring& name, const std::wstring& value);

private:
    std::wstring root_;  // under HKCU
    HKEY rootKey_ = nullptr;
};

}  // namespace testsupport
