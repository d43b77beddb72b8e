#include "HandlerRegistration.h"

#include <vector>

namespace testsupport {

std::wstring TestHandlerClsid(wchar_t kind) {
    return std::wstring(L"7e57a001-0000-4000-8000-00000000000") + static_cast<wchar_t>(L'1' + (kind - L'a'));
}

namespace {

std::wstring TestHandlerDll() {
    std::vector<wchar_t> path(2048);
    DWORD length = ::GetModuleFileNameW(nullptr, path.data(), 2047);
    std::wstring dll(path.data(), length);
    return dll.substr(0, dll.rfind(L'\\') + 1) + L"tc_test_handler.dll";
}

bool RegisterInprocServer(const std::wstring& clsid, const std::wstring& dll) {
    std::wstring key = L"CLSID\\{" + clsid + L"}\\InprocServer32";
    if (::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, dll.c_str(),
                          static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
        return false;
    const wchar_t model[] = L"Both";
    return ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), L"ThreadingModel", REG_SZ, model, sizeof(model)) ==
           ERROR_SUCCESS;
}

}  // namespace

bool RegisterTestHandlerClasses() {
    const std::wstring dll = TestHandlerDll();
    if (::GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    for (wchar_t kind = L'a'; kind <= L'd'; ++kind)
        if (!RegisterInprocServer(TestHandlerClsid(kind), dll)) return false;
    return true;
}

bool RegisterFakeRemoteLogonFilter() {
    const std::wstring dll = TestHandlerDll();
    return ::GetFileAttributesW(dll.c_str()) != INVALID_FILE_ATTRIBUTES &&
           RegisterInprocServer(L"F614806B-CE60-40CD-990F-E8E07DF79E49", dll);
}

void AddHandlerKey(RegistrySandbox& registry, const std::wstring& name, const wchar_t* disabled) {
    const std::wstring key =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Providers\\"
        L"{bebe672f-b0e3-4354-bb86-4ef127a55b6a}\\CredentialHandlers\\" + name;
    if (disabled)
        registry.SetString(key, L"Disabled", disabled);
    else
        registry.SetString(key, L"Note", L"test handler");
}

std::wstring TestHandlerCalls() {
    HMODULE dll = ::GetModuleHandleW(L"tc_test_handler.dll");
    if (!dll) return std::wstring();
    auto log = reinterpret_cast<const wchar_t* (*)()>(reinterpret_cast<void*>(::GetProcAddress(dll, "TestHandlerLog")));
    return log ? log() : std::wstring();
}

void ResetTestHandlerCalls() {
    HMODULE dll = ::GetModuleHandleW(L"tc_test_handler.dll");
    if (!dll) return;
    auto reset = reinterpret_cast<void (*)()>(reinterpret_cast<void*>(::GetProcAddress(dll, "TestHandlerReset")));
    if (reset) reset();
}

}  // namespace testsupport
