#include "CloudApHelperWTSAPI.h"

#include "CloudApText.h"
#include "EntraFailure.h"
#include "StaDispatcher.h"
#include "lib/json/Json.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"
#include "platform/UniqueResource.h"

#include <rpc.h>

#include <climits>
#include <mutex>

namespace EntraAuth {
namespace {

#define RESOLVE_PREFIX L"[EntraAuth] EntraAuth::ResolveCloudAuthFuncs::<lambda_1>::operator (): ResolveCloudAuthFuncs: "
#define WTS_LABEL(function) L"[EntraAuth] EntraAuth::CloudApHelperWTSAPI::" function L"::<lambda_1>::operator (): "

template <typename Fn>
bool Resolve(HMODULE library, const char* name, const wchar_t* wideName, Fn* slot) {
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
    if (!*slot) CORE::LogMessage(CORE::LOG_ERROR, RESOLVE_PREFIX L"%ls not found", wideName);
    return *slot != nullptr;
}

CloudAuthFuncs LoadFuncs() {
    CloudAuthFuncs funcs;
    const std::wstring name = platform::Get().CloudAuthLibrary();
    // From System32 only (a bare name), so no copy planted in the host's directory is taken.
    platform::unique_hmodule library(::LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library) {
        CORE::LogMessage(CORE::LOG_ERROR, RESOLVE_PREFIX L"Failed to load wtsapi32.dll (err=%u)",
                         static_cast<unsigned>(::GetLastError()));
        return funcs;
    }
    // The pointers outlive this reference: the pin keeps the library for the process.
    HMODULE pinned = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(library.get()), &pinned)) {
        CORE::LogMessage(CORE::LOG_ERROR, RESOLVE_PREFIX L"Failed to pin wtsapi32.dll (err=%u)",
                         static_cast<unsigned>(::GetLastError()));
        return funcs;
    }
    HMODULE l = library.get();
    funcs.available = Resolve(l, "WTSCloudAuthOpen", L"WTSCloudAuthOpen", &funcs.open) &&
                      Resolve(l, "WTSCloudAuthClose", L"WTSCloudAuthClose", &funcs.close) &&
                      Resolve(l, "WTSCloudAuthGetServerNonce", L"WTSCloudAuthGetServerNonce", &funcs.getServerNonce) &&
                      Resolve(l, "WTSCloudAuthConvertAssertionToSerializedUserCredential",
                              L"WTSCloudAuthConvertAssertionToSerializedUserCredential", &funcs.convertAssertion) &&
                      Resolve(l, "WTSCloudAuthNetworkLogonWithSerializedCredential",
                              L"WTSCloudAuthNetworkLogonWithSerializedCredential", &funcs.networkLogon) &&
                      Resolve(l, "WTSCloudAuthDuplicateSerializedUserCredential",
                              L"WTSCloudAuthDuplicateSerializedUserCredential", &funcs.duplicateCredential);
    funcs.freeMemory = reinterpret_cast<platform::sdk::WTSFreeMemoryExWFn>(
        reinterpret_cast<void*>(::GetProcAddress(l, "WTSFreeMemoryExW")));
    return funcs;
}

// Whether the calls do anything on this system (they exist but fail where the feature is off).
bool ProbeImplemented(const CloudAuthFuncs& funcs) {
    bool implemented = false;
    StaDispatcher::Instance().Run([&]() -> HRESULT {
        GUID probe{};
        ::UuidCreate(&probe);
        platform::sdk::WTS_CLOUD_AUTH_HANDLE handle = funcs.open(&probe);
        if (!handle) {
            CORE::LogMessage(CORE::LOG_ERROR,
                             L"[EntraAuth] EntraAuth::CloudApHelperWTSAPI::CheckIfImplemented::<lambda_1>::()::"
                             L"<lambda_1>::operator (): CloudAuthOpen probe failed gle=%u",
                             static_cast<unsigned>(::GetLastError()));
            return E_FAIL;
        }
        CORE::LogMessage(CORE::LOG_DEBUG,
                         L"[EntraAuth] EntraAuth::CloudApHelperWTSAPI::CheckIfImplemented::<lambda_1>::()::"
                         L"<lambda_1>::operator (): CloudAuthOpen probe succeeded h=%p",
                         handle);
        funcs.close(handle);
        implemented = true;
        return S_OK;
    });
    return implemented;
}

bool CheckIfImplemented(const CloudAuthFuncs& funcs) {
    static bool implemented;
    static std::once_flag probed;
    std::call_once(probed, [&] { implemented = ProbeImplemented(funcs); });
    return implemented;
}

void FreeWts(const CloudAuthFuncs& funcs, int typeClass, void* memory, const wchar_t* failedLine) {
    if (!funcs.freeMemory || !funcs.freeMemory(typeClass, memory, 1))
        CORE::LogMessage(CORE::LOG_DEBUG, L"%ls", failedLine);
}

ULONG CheckedLength(size_t bytes, const wchar_t* what) {
    ENTRA_FAIL_IF(bytes > ULONG_MAX, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), L"%ls size exceeds ULONG maximum",
                  what);
    return static_cast<ULONG>(bytes);
}

}  // namespace

const CloudAuthFuncs& ResolveCloudAuthFuncs() {
    static const CloudAuthFuncs funcs = LoadFuncs();
    return funcs;
}

CloudApHelperWTSAPI::CloudApHelperWTSAPI() : funcs_(&ResolveCloudAuthFuncs()) {
    ENTRA_FAIL_IF(!funcs_->available, E_FAIL, L"WTS CloudAuth APIs NOT available");
    ENTRA_FAIL_IF(!CheckIfImplemented(*funcs_), E_FAIL, L"WTS CloudAuth APIs NOT implemented");
}

CloudApHelperWTSAPI::~CloudApHelperWTSAPI() {
    if (!handle_) return;
    platform::sdk::WTS_CLOUD_AUTH_HANDLE handle = handle_;
    StaDispatcher::Instance().Run([&]() -> HRESULT {
        funcs_->close(handle);
        return S_OK;
    });
}

HRESULT CloudApHelperWTSAPI::Initialize(const std::wstring& correlationId) {
    return StaDispatcher::Instance().Run([&]() -> HRESULT {
        GUID activity{};
        if (!correlationId.empty()) {
            std::wstring text = correlationId;
            const RPC_STATUS status = ::UuidFromStringW(reinterpret_cast<RPC_WSTR>(text.data()), &activity);
            ENTRA_FAIL_IF(status != RPC_S_OK, HRESULT_FROM_WIN32(status),
                          L"EntraAuth::CloudApHelperWTSAPI::Initialize::<lambda_1>::operator (): "
                          L"UUIDFromString(%ls) failed",
                          correlationId.c_str());
        } else {
            ::UuidCreate(&activity);
        }
        platform::sdk::WTS_CLOUD_AUTH_HANDLE handle = funcs_->open(&activity);
        ENTRA_FAIL_IF(!handle, E_FAIL, L"CloudAuthOpen gle=%d", static_cast<int>(::GetLastError()));
        if (handle_) funcs_->close(handle_);  // a second Initialize replaces the handle
        handle_ = handle;
        return S_OK;
    });
}

HRESULT CloudApHelperWTSAPI::GetDeviceNonce(std::wstring* nonce) {
    return StaDispatcher::Instance().Run([&]() -> HRESULT {
        ENTRA_FAIL_IF(!nonce, E_INVALIDARG, L"nonce is null");
        ENTRA_FAIL_IF(!handle_, E_FAIL, L"CloudAuth handle NOT initialized");
        PWSTR text = nullptr;
        ENTRA_FAIL_IF(!funcs_->getServerNonce(handle_, &text), E_FAIL, L"CloudAuthGetServerNonce gle=%d",
                      static_cast<int>(::GetLastError()));
        HRESULT result = S_OK;
        try {
            nonce->assign(text ? text : L"");
        } catch (...) {
            result = E_OUTOFMEMORY;
        }
        if (text)
            FreeWts(*funcs_, platform::sdk::kWTSTypeCloudAuthServerNonce, text,
                    WTS_LABEL(L"GetDeviceNonce") L"WTSFreeMemoryEx(WTSTypeCloudAuthServerNonce) failed");
        return result;
    });
}

HRESULT CloudApHelperWTSAPI::GetCredBlobFromAssertion(const std::wstring& assertion, const std::wstring& resourceUri,
                                                      std::vector<BYTE>* blob) {
    return StaDispatcher::Instance().Run([&]() -> HRESULT {
        ENTRA_FAIL_IF(!blob, E_INVALIDARG, L"blob is null");
        ENTRA_FAIL_IF(!handle_, E_FAIL, L"CloudAuth handle NOT initialized");
        ENTRA_FAIL_IF(assertion.empty(), E_INVALIDARG, L"RDP assertion is empty");
        ENTRA_FAIL_IF(resourceUri.empty(), E_INVALIDARG, L"resourceUri is empty");
        const std::string request = json::Stringify(json::Json{{"rdp_assertion", ToUtf8(assertion)}});
        const ULONG requestBytes = CheckedLength(request.size(), L"Assertion");
        platform::sdk::WTS_SERIALIZED_USER_CREDENTIAL* credential = nullptr;
        ENTRA_FAIL_IF(!funcs_->convertAssertion(handle_, request.c_str(), requestBytes, resourceUri.c_str(),
                                                &credential),
                      E_FAIL, L"CloudAuthConvertAssertionToSerializedUserCredential gle=%d",
                      static_cast<int>(::GetLastError()));
        HRESULT result = S_OK;
        try {
            if (credential && credential->Serialization)
                blob->assign(credential->Serialization, credential->Serialization + credential->SerializationLength);
            else
                blob->clear();
        } catch (...) {
            result = E_OUTOFMEMORY;
        }
        if (credential)
            FreeWts(*funcs_, platform::sdk::kWTSTypeSerializedUserCredential, credential,
                    WTS_LABEL(L"GetCredBlobFromAssertion") L"WTSFreeMemoryEx(WTSTypeSerializedUserCredential) failed");
        return result;
    });
}

HRESULT CloudApHelperWTSAPI::LogonUserWithCredBlob(const std::vector<BYTE>& blob, HANDLE* token) {
    return StaDispatcher::Instance().Run([&]() -> HRESULT {
        ENTRA_FAIL_IF(!token, E_INVALIDARG, L"token is null");
        *token = nullptr;
        ENTRA_FAIL_IF(!handle_, E_FAIL, L"CloudAuth handle NOT initialized");
        ENTRA_FAIL_IF(blob.empty(), E_INVALIDARG, L"Credential blob is empty");
        platform::sdk::WTS_SERIALIZED_USER_CREDENTIAL credential{CheckedLength(blob.size(), L"Credential blob"),
                                                                 const_cast<BYTE*>(blob.data())};
        HANDLE logon = nullptr;
        const BOOL done = funcs_->networkLogon(handle_, &credential, &logon);
        if (done && !logon) ::SetLastError(ERROR_INVALID_HANDLE);
        ENTRA_FAIL_IF(!done || !logon, E_FAIL, L"CloudAuthNetworkLogonWithSerializedCredential gle=%d",
                      static_cast<int>(::GetLastError()));
        *token = logon;
        return S_OK;
    });
}

ULONG CloudApHelperWTSAPI::GetCloudApPackageId() {
    return static_cast<ULONG>(ENTRA_LOG_FAILURE(E_NOTIMPL, L"GetCloudApPackageId not supported by WTS API"));
}

}  // namespace EntraAuth
