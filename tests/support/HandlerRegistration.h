// Registers the test credential handler DLL with COM (in the prefix's HKCR, shared by all
// tests: the values are the same every time) and under the provider's CredentialHandlers key
// (in the test's private HKLM), and reads what the handlers saw.
#pragma once
#include "AgentSimProcess.h"
#include "RegistrySandbox.h"

#include <string>

namespace testsupport {

// "7e57a001-0000-4000-8000-00000000000N" for N = 1 ('a') .. 4 ('d').
inline std::wstring TestHandlerClsid(wchar_t kind) {
    return std::wstring(L"7e57a001-0000-4000-8000-00000000000") + static_cast<wchar_t>(L'1' + (kind - L'a'));
}

// COM registration of tc_test_handler.dll beside the test program; false when it is missing.
inline bool RegisterInprocServer(const std::wstring& clsid) {
    const std::wstring dll = ProgramDirectory() + L"tc_test_handler.dll";
    const std::wstring key = L"CLSID\\{" + clsid + L"}\\InprocServer32";
    const wchar_t model[] = L"Both";
    return ::GetFileAttributesW(dll.c_str()) != INVALID_FILE_ATTRIBUTES &&
           ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, dll.c_str(),
                             static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
           ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), L"ThreadingModel", REG_SZ, model, sizeof(model)) ==
               ERROR_SUCCESS;
}
inline bool RegisterTestHandlerClasses() {
    for (wchar_t kind = L'a'; kind <= L'd'; ++kind)
        if (!RegisterInprocServer(TestHandlerClsid(kind))) return false;
    return true;
}
// The same DLL as the system's remote logon filter, which Wine does not have.
inline bool RegisterFakeRemoteLogonFilter() { return RegisterInprocServer(L"F614806B-CE60-40CD-990F-E8E07DF79E49"); }

// A subkey of the CredentialHandlers key; `name` as written there (with or without braces).
inline void AddHandlerKey(RegistrySandbox& registry, const std::wstring& name, const wchar_t* disabled = nullptr) {
    registry.SetString(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Providers\\"
                       L"{bebe672f-b0e3-4354-bb86-4ef127a55b6a}\\CredentialHandlers\\" + name,
                       disabled ? L"Disabled" : L"Note", disabled ? disabled : L"test handler");
}

// The calls the loaded handler DLL recorded ("" when it is not loaded), and their reset.
template <class Function>
Function* TestHandlerExport(const char* name) {
    HMODULE dll = ::GetModuleHandleW(L"tc_test_handler.dll");
    return dll ? reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(dll, name))) : nullptr;
}
inline std::wstring TestHandlerCalls() {
    auto log = TestHandlerExport<const wchar_t*()>("TestHandlerLog");
    return log ? log() : std::wstring();
}
inline void ResetTestHandlerCalls() {
    if (auto reset = TestHandlerExport<void()>("TestHandlerReset")) reset();
}

}  // namespace testsupport
