// The module's half of the Entra RPC interface: one call to the agent's common service per
// work item, made on a thread-pool thread so that LogonUI's threads never wait on the service.
//
// The call is synchronous on its worker thread and ends only by the service's answer or by
// cancellation: the cancel event ends the wait for the service to start, and RpcCancelThreadEx
// on the worker ends a call in flight (the wire carries the same bytes as the service's
// asynchronous stubs expect).
#pragma once
#include <windows.h>
#include <rpc.h>

#include "platform/UniqueResource.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace EntraAuth {

using AssertionCallback = std::function<void(HRESULT hr, const std::wstring& assertion)>;

// Shared by the caller and the worker; whichever releases last destroys it.
struct RpcWorkItem {
    enum Kind : DWORD { kWait = 0, kRequest = 1 };

    std::atomic<LONG> references{2};
    DWORD workerThreadId = 0;
    RPC_BINDING_HANDLE binding = nullptr;
    AssertionCallback callback;
    platform::unique_handle cancelEvent;  // manual reset: abandon the call
    platform::unique_handle doneEvent;    // manual reset: the worker has finished
    DWORD kind = kWait;
    uint64_t requestId = 0;
    std::wstring correlationId;  // request only
    std::wstring brokerUserSid;  // request only

    // The worker's thread while its call is on the wire, for RpcCancelThreadEx.
    std::mutex callLock;
    platform::unique_handle workerThread;
    bool inCall = false;

    ~RpcWorkItem();
};

// Queue the call on a thread-pool thread; null when it could not be queued (nothing runs).
RpcWorkItem* RequestRdpAssertionAsync(uint64_t requestId, const std::wstring& brokerUserSid,
                                      const std::wstring& correlationId, AssertionCallback callback);
RpcWorkItem* GetRdpAssertionAsync(uint64_t requestId, AssertionCallback callback);

// Abandons the call and waits for its worker to finish, then drops the caller's reference.
// Not from the worker itself.
void CancelRpcWorkItem(RpcWorkItem* item) noexcept;

// Waits for the service to start (or `cancelEvent`) and binds to its endpoint for this session;
// null on failure (logged).
RPC_BINDING_HANDLE DazCommonGetRpcBinding(HANDLE cancelEvent);

// The text of the all-zero GUID, without braces: what stands for a missing correlation id.
std::wstring EmptyCorrelationId();

}  // namespace EntraAuth
