#include "AadJoin.h"

#include "UniqueResource.h"
#include "sdk/DsregDecl.h"

namespace platform {
namespace {

std::optional<std::wstring> Copy(const wchar_t* text) {
    return text ? std::optional<std::wstring>(text) : std::nullopt;
}

// Frees the join information on every way out, the copies below included.
struct JoinInfoHolder {
    sdk::NetFreeAadJoinInformationFn release;
    sdk::DSREG_JOIN_INFO* info = nullptr;
    ~JoinInfoHolder() {
        if (info) release(info);
    }
};

}  // namespace

HRESULT ReadAadJoinInformation(AadJoinInfo* info, bool* present) {
    *info = AadJoinInfo{};
    *present = false;
    unique_hmodule netapi(::LoadLibraryExW(L"netapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!netapi) return HRESULT_FROM_WIN32(::GetLastError());
    auto get = reinterpret_cast<sdk::NetGetAadJoinInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(netapi.get(), "NetGetAadJoinInformation")));
    auto release = reinterpret_cast<sdk::NetFreeAadJoinInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(netapi.get(), "NetFreeAadJoinInformation")));
    if (!get || !release) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    JoinInfoHolder held{release};
    HRESULT hr = get(nullptr, &held.info);
    if (FAILED(hr) || !held.info) return hr;
    const sdk::DSREG_JOIN_INFO& raw = *held.info;
    *present = true;
    info->joinType = static_cast<DWORD>(raw.joinType);
    info->deviceId = Copy(raw.pszDeviceId);
    info->joinUserEmail = Copy(raw.pszJoinUserEmail);
    if (raw.pUserInfo) info->userEmail = Copy(raw.pUserInfo->pszUserEmail);
    return S_OK;
}

}  // namespace platform
