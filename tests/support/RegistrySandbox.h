// A private HKLM for one test: every HKLM access of the process goes to a fresh key under
// HKCU until the sandbox is destroyed, which removes the key again.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace testsupport {

class RegistrySandbox {
public:
    RegistrySandbox() {
        static std::atomic<int> counter{0};
        root_ = L"Software\\TcfiltrTest\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        EXPECT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &rootKey_, nullptr),
                  ERROR_SUCCESS);

        EXPECT_EQ(::RegOverridePredefKey(HKEY_LOCAL_MACHINE, rootKey_), ERROR_SUCCESS);
    }
    ~RegistrySandbox() {
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        if (rootKey_) ::RegCloseKey(rootKey_);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
    }
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

    // Paths are relative to HKLM ("Software\\Velmora\\Zephral\\Agent\\Configuration").
    void SetValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data, DWORD size) {
        EXPECT_EQ(::RegSetKeyValueW(rootKey_, keyPath.c_str(), name.c_str(), type, data, size), ERROR_SUCCESS);
    }
    void SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value) {
        SetValue(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    void SetDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
        SetValue(keyPath, name, REG_DWORD, &value, sizeof(value));
    }
    // Setting under the product's agent configuration key.
    void SetAgentConfig(const std::wstring& name, const std::wstring& value) {
        SetString(L"Software\\Velmora\\Zephral\\Agent\\Configuration", name, value);
    }

private:
    std::wstring root_;  // under HKCU
    HKEY rootKey_ = nullptr;
};

}  // namespace testsupport
