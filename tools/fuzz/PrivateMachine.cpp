#include "PrivateMachine.h"

namespace fuzz {
namespace {
constexpr wchar_t kCryptoDefaults[] = L"Software\\Microsoft\\Cryptography\\Defaults";
}

PrivateMachine::PrivateMachine() : path_(L"Software\\TcfiltrFuzz\\" + std::to_wstring(::GetCurrentProcessId())) {
    platform::unique_hkey crypto, copy;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());  // left by an earlier run that faulted
    ok_ = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptoDefaults, 0, KEY_READ, crypto.put()) == ERROR_SUCCESS &&
          ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, root_.put(), nullptr) ==
              ERROR_SUCCESS &&
          ::RegCreateKeyExW(root_.get(), kCryptoDefaults, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, copy.put(), nullptr) ==
              ERROR_SUCCESS &&
          ::RegCopyTreeW(crypto.get(), nullptr, copy.get()) == ERROR_SUCCESS &&
          ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_.get()) == ERROR_SUCCESS;
}

PrivateMachine::~PrivateMachine() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    root_.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

bool PrivateMachine::SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value) {
    return ::RegSetKeyValueW(root_.get(), keyPath.c_str(), name.c_str(), REG_SZ, value.c_str(),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace fuzz
