#include "EntraRpcClient.h"

#include "EntraAuthRpc.h"
#include "EntraFailure.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"
#include "platform/SehGuard.h"

#include <sddl.h>

#include <cwchar>
#include <memory>

namespace EntraAuth {
namespace {

using CORE::LOG_DEBUG;
using CORE::LOG_ERROR;
using CORE::LOG_INFO;
using CORE::LogMessage;

constexpr HRESULT kRpcFacility = static_cast<HRESULT>(0x80010000);
constexpr DWORD kCancelRepeatMs = 20;

void Release(RpcWorkItem* item) noexcept {
    if (item->references.fetch_sub(1) == 1) delete item;
}

void WipeText(std::wstring& text) noexcept {
    if (!text.empty()) ::SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
}

// Waits for the service's readiness event (or the caller's cancel event). The event may not
// exist yet: it is created here with the service's own DACL, so the service opens the same one.
RPC_STATUS WaitForServiceStart(DWORD sessionId, HANDLE cancelEvent) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ENTRA_FAIL_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;SY)", SDDL_REVISION_1,
                                                                          &descriptor, nullptr),
                  LastErrorResult(), L"ConvertStringSecurityDescriptorToSecurityDescriptorW failed");
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    const std::wstring name = L"Global\\ZeveviZuzWin32RpcStarted_" + std::to_wstring(sessionId);
    platform::unique_handle started(::CreateEventExW(&attributes, name.c_str(), CREATE_EVENT_MANUAL_RESET, SYNCHRONIZE));
    const HRESULT created = started ? S_OK : LastErrorResult();
    ::LocalFree(descriptor);
    ENTRA_FAIL_IF(!started, created, L"CreateEventExW failed");
    const HANDLE events[] = {started.get(), cancelEvent};
    const DWORD wait = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0) return RPC_S_OK;
    if (wait == WAIT_OBJECT_0 + 1)
        LogMessage(LOG_ERROR, L"[EntraAuth] EntraAuth::DazCommonGetRpcBinding: Cancellation requested while waiting for RPC bind.");
    else
        LogMessage(LOG_ERROR, L"[EntraAuth] EntraAuth::DazCommonGetRpcBinding: WaitForSingleObject failed, gle=%d",
                   static_cast<int>(::GetLastError()));
    return RPC_S_SERVER_UNAVAILABLE;
}

bool IsSet(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Marks the worker as on the wire, unless the call is already abandoned.
void EnterCall(RpcWorkItem& item) {
    std::lock_guard<std::mutex> guard(item.callLock);
    ENTRA_FAIL_IF(IsSet(item.cancelEvent.get()), HRESULT_FROM_WIN32(ERROR_CANCELLED), L"Cancelleation requested");
    HANDLE self = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                          DUPLICATE_SAME_ACCESS))
        item.workerThread.reset(self);
    item.inCall = true;
}

void LeaveCall(RpcWorkItem& item) {
    std::lock_guard<std::mutex> guard(item.callLock);
    item.inCall = false;
}

// The call itself; the assertion's text leaves the RPC runtime's buffer wiped.
HRESULT InvokeService(RpcWorkItem& item, std::wstring* assertion) {
    LogMessage(LOG_INFO, L"[EntraAuth] EntraAuth::AsyncRpcWorker: Async invoking Entra auth dazServer RPC (req=%llx)",
               static_cast<unsigned long long>(item.requestId));
    EnterCall(item);
    LONG result = E_FAIL;
    wchar_t* answer = nullptr;
    const DWORD status = platform::SehGuard([&] {
        result = item.kind == RpcWorkItem::kRequest
                     ? RpcRequestRdpAssertionFromClient(item.binding, item.requestId, item.brokerUserSid.c_str(),
                                                        item.correlationId.c_str(), &answer)
                     : RpcGetRdpAssertionFromClient(item.binding, item.requestId, &answer);
    });
    LeaveCall(item);
    LogMessage(LOG_INFO, L"[EntraAuth] EntraAuth::AsyncRpcWorker: RPC completed (req=%llx), status=%08x, hr=%08x",
               static_cast<unsigned long long>(item.requestId), static_cast<unsigned>(status),
               static_cast<unsigned>(status ? 0 : result));
    if (answer) {
        if (status == 0) assertion->assign(answer);
        ::SecureZeroMemory(answer, std::wcslen(answer) * sizeof(wchar_t));
        MIDL_user_free(answer);
    }
    return status ? (static_cast<HRESULT>(status) | kRpcFacility) : static_cast<HRESULT>(result);
}

HRESULT RunCall(RpcWorkItem& item, std::wstring* assertion) noexcept {
    try {
        item.binding = DazCommonGetRpcBinding(item.cancelEvent.get());
        ENTRA_FAIL_IF(!item.binding, static_cast<HRESULT>(0x800106BA), L"Unable to bind to rpc server");
        ENTRA_FAIL_IF(IsSet(item.cancelEvent.get()), HRESULT_FROM_WIN32(ERROR_CANCELLED), L"Cancelleation requested");
        return InvokeService(item, assertion);
    } catch (...) {
        return ResultOfCaught();
    }
}

DWORD WINAPI AsyncRpcWorker(void* context) {
    auto* item = static_cast<RpcWorkItem*>(context);
    item->workerThreadId = ::GetCurrentThreadId();
    std::wstring assertion;
    const HRESULT hr = RunCall(*item, &assertion);
    try {
        if (item->callback) item->callback(hr, assertion);
    } catch (...) {
        CaughtResult("EntraAuth::AsyncRpcWorker");
    }
    WipeText(assertion);
    ::SetEvent(item->doneEvent.get());
    Release(item);
    return 0;
}

std::unique_ptr<RpcWorkItem> NewWorkItem(DWORD kind, uint64_t requestId, AssertionCallback callback) {
    auto item = std::make_unique<RpcWorkItem>();
    item->kind = kind;
    item->requestId = requestId;
    item->callback = std::move(callback);
    return item;
}

RpcWorkItem* QueueCall(std::unique_ptr<RpcWorkItem> item) {
    item->cancelEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    item->doneEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!item->cancelEvent || !item->doneEvent) return nullptr;
    if (!::QueueUserWorkItem(AsyncRpcWorker, item.get(), WT_EXECUTELONGFUNCTION)) {
        ENTRA_LOG_FAILURE(LastErrorResult(), L"QueueUserWorkItem failed");
        return nullptr;
    }
    return item.release();
}

}  // namespace

RpcWorkItem::~RpcWorkItem() {
    if (binding) ::RpcBindingFree(&binding);
    WipeText(correlationId);
    WipeText(brokerUserSid);
}

std::wstring EmptyCorrelationId() {
    const GUID zero{};
    wchar_t text[40];
    std::swprintf(text, 40, L"%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX", zero.Data1,
                  zero.Data2, zero.Data3, zero.Data4[0], zero.Data4[1], zero.Data4[2], zero.Data4[3], zero.Data4[4],
                  zero.Data4[5], zero.Data4[6], zero.Data4[7]);
    return text;
}

RpcWorkItem* RequestRdpAssertionAsync(uint64_t requestId, const std::wstring& brokerUserSid,
                                      const std::wstring& correlationId, AssertionCallback callback) {
    LogMessage(LOG_DEBUG, L"[EntraAuth] EntraAuth::RequestRdpAssertionAsync: Sending RPC *REQUEST* for Entra Auth (req=%llx)",
               static_cast<unsigned long long>(requestId));
    auto item = NewWorkItem(RpcWorkItem::kRequest, requestId, std::move(callback));
    item->correlationId = correlationId.empty() ? EmptyCorrelationId() : correlationId;
    item->brokerUserSid = brokerUserSid;
    return QueueCall(std::move(item));
}

RpcWorkItem* GetRdpAssertionAsync(uint64_t requestId, AssertionCallback callback) {
    LogMessage(LOG_DEBUG, L"[EntraAuth] EntraAuth::GetRdpAssertionAsync: Registering RPC *WAIT* for Entra Auth (req=%llx)",
               static_cast<unsigned long long>(requestId));
    auto item = NewWorkItem(RpcWorkItem::kWait, requestId, std::move(callback));
    return QueueCall(std::move(item));
}

void CancelRpcWorkItem(RpcWorkItem* item) noexcept {
    ::SetEvent(item->cancelEvent.get());
    // A cancel that reaches the worker just before its call goes on the wire is lost (the
    // runtime only cancels a call in flight), so it is repeated until the worker is done.
    while (::WaitForSingleObject(item->doneEvent.get(), kCancelRepeatMs) == WAIT_TIMEOUT) {
        std::lock_guard<std::mutex> guard(item->callLock);
        if (item->inCall && item->workerThread) ::RpcCancelThreadEx(item->workerThread.get(), 0);
    }
    Release(item);
}

RPC_BINDING_HANDLE DazCommonGetRpcBinding(HANDLE cancelEvent) {
    RPC_BINDING_HANDLE binding = nullptr;
    RPC_STATUS status;
    try {
        DWORD sessionId = 0;
        ENTRA_FAIL_IF(!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId), LastErrorResult(),
                      L"ProcessIdToSessionId failed");
        status = platform::Get().CreateEntraRpcBinding(L"ZeveviZuzWin32Rpc_" + std::to_wstring(sessionId), &binding);
        if (status == RPC_S_OK) status = WaitForServiceStart(sessionId, cancelEvent);
        if (status == RPC_S_OK) status = platform::Get().BindEntraRpc(binding, DazEntraAuth_v1_0_c_ifspec);
    } catch (...) {
        status = static_cast<RPC_STATUS>(ResultOfCaught());
    }
    if (status == RPC_S_OK) {
        LogMessage(LOG_INFO, L"[EntraAuth] EntraAuth::DazCommonGetRpcBinding: RPC binding succeeded.");
        return binding;
    }
    LogMessage(LOG_ERROR, L"[EntraAuth] EntraAuth::DazCommonGetRpcBinding: Binding failed with %x",
               static_cast<unsigned>(status));
    if (binding) ::RpcBindingFree(&binding);
    return nullptr;
}

}  // namespace EntraAuth
