#include "CredentialHandlers.h"

#include "base/Guids.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <rpc.h>

using namespace CORE;

namespace {

// The provider CLSID as UuidToStringW writes it: lower case, no braces.
std::wstring ProviderClsidText() {
    RPC_WSTR text = nullptr;
    UUID id = CLSID_credprovider;
    if (::UuidToStringW(&id, &text) != RPC_S_OK || !text) return std::wstring();
    std::wstring result(reinterpret_cast<wchar_t*>(text));
    ::RpcStringFreeW(&text);
    return result;
}

}  // namespace

std::vector<std::wstring> GetHandlerCLSIDs() {
    std::vector<std::wstring> names;
    const std::wstring keyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Providers\\{" +
                                 ProviderClsidText() + L"}\\CredentialHandlers";
    platform::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        wchar_t subkey[256];
        DWORD length = 256;
        LSTATUS status = ::RegEnumKeyExW(key.get(), index, subkey, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        std::wstring name(subkey, length);
        ::CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));

        bool disabled = false;
        platform::unique_hkey handlerKey;
        if (::RegOpenKeyExW(key.get(), subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, handlerKey.put()) == ERROR_SUCCESS) {
            std::wstring value;
            if (ReadRegistryValueTyped(handlerKey.get(), L"Disabled", static_cast<DWORD>(-1), &value) !=
                static_cast<DWORD>(-1))
                disabled = ParseBool(value);
        }
        if (name.size() >= 3 && name.front() == L'{') name = name.substr(1, name.size() - 2);
        LogMessage(LOG_DEBUG, L"GetHandlerCLSIDs(): Found %s handler: %s", disabled ? L"disabled" : L"enabled",
                   name.c_str());
        if (!disabled) names.push_back(name);
    }
    return names;
}

void populateCredHandlersMap(CredentialHandlerMap& handlers) {
    for (const std::wstring& name : GetHandlerCLSIDs()) {
        UUID clsid;
        std::wstring text = name;
        if (::UuidFromStringW(reinterpret_cast<RPC_WSTR>(text.data()), &clsid) != RPC_S_OK) {
            LogMessage(LOG_ERROR, L"populateCredHandlersMap(): Unable to create handler instance: Invalid UUID");
            continue;
        }
        platform::com_ptr<ICredentialHandler> handler;
        HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ICredentialHandler, handler.put_void());
        if (FAILED(hr)) {
            LogMessage(LOG_ERROR, L"populateCredHandlersMap(): Unable to create handler instance: 0x%x",
                       static_cast<unsigned>(hr));
            continue;
        }
        LogMessage(LOG_DEBUG, L"populateCredHandlersMap(): Created handler instance");
        handlers[name] = std::move(handler);  // a later spelling of the same CLSID replaces the earlier
    }
}
