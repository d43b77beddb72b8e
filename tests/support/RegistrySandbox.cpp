#include "RegistrySandbox.h"

#include <gtest/gtest.h>

#include <atomic>

namespace testsupport {

RegistrySandbox::RegistrySandbox() {
    static std::atomic<int> counter{0};
    root_ = L"Software\\TcfiltrTest\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    EXPECT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &rootKey_,
                                nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegOverridePredefKey(HKEY_LOCAL_MACHINE, rootKey_), ERROR_SUCCESS);
}

RegistrySandbox::~RegistrySandbox() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (rootKey_) ::RegCloseKey(rootKey_);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
}

void RegistrySandbox::SetValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
                               DWORD size) {
    EXPECT_EQ(::RegSetKeyValueW(rootKey_, keyPath.c_str(), name.c_str(), type, data, size), ERROR_SUCCESS);
}

void RegistrySandbox::SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value) {
    SetValue(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void RegistrySandbox::SetDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
    SetValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

void RegistrySandbox::SetAgentConfig(const std::wstring& name, const std::wstring& value) {
    SetString(L"Software\\Velmora\\Zephral\\Agent\\Configuration", name, value);
}

}  // namespace testsupport
