// The service's half of the Entra RPC interface (rpc/EntraAuthRpc.idl): a process-wide server
// context that takes the module's calls, sends the remote client a signed request (or waits for
// one the broker sent), and completes each call when the client's assertion comes back.
//
// The module never serves this interface; the agent's common service does, and so does the
// stand-in agent. A call is completed through IAsyncRpcCall, so the same routines serve the
// service's [async] stubs (RpcAsyncCompleteCall) and synchronous stubs whose routine blocks
// until the call is completed (agentsim).
#pragma once
#include <windows.h>
#include <rpc.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace EntraAuth {

// One call the server has taken and answers later. Complete is called once, after the call's
// out pointer has been set (or left null).
class IAsyncRpcCall {
public:
    virtual ~IAsyncRpcCall() = default;
    virtual RPC_STATUS Complete(HRESULT reply) = 0;
};

// The asynchronous stubs' call: RpcAsyncCompleteCall with the HRESULT as the reply.
class RpcAsyncStateCall final : public IAsyncRpcCall {
public:
    explicit RpcAsyncStateCall(PRPC_ASYNC_STATE state) noexcept : state_(state) {}
    RPC_STATUS Complete(HRESULT reply) override;

private:
    PRPC_ASYNC_STATE state_;
};

// Logs "[EntraAuth] EntraAuth::CompleteAsyncRpc: Completing RPC %p with hr=%08x" and completes.
// E_INVALIDARG for a null call.
HRESULT CompleteAsyncRpc(IAsyncRpcCall* asyncHandle, HRESULT hr) noexcept;

// opnum 0 and 1. `assertion` is the call's out pointer; it is set (MIDL_user_allocate, the
// terminator included) right before the call completes. Failures complete the call with their
// HRESULT; a null `asyncHandle` is only logged.
void ServerRpcRequestRdpAssertionFromClient(IAsyncRpcCall* asyncHandle, handle_t binding, uint64_t requestId,
                                            const wchar_t* brokerUserSid, const wchar_t* correlationId,
                                            wchar_t** assertion) noexcept;
void ServerRpcGetRdpAssertionFromClient(IAsyncRpcCall* asyncHandle, handle_t binding, uint64_t requestId,
                                        wchar_t** assertion) noexcept;

// Builds the signed request (device id, nonce, P2P certificate text) and sends or queues it.
HRESULT RequestClientEntraAuthentication(uint64_t requestId, const std::wstring& deviceId,
                                         const std::wstring& deviceNonce, const std::wstring& certificate,
                                         const std::wstring& brokerUserSid, const std::wstring& correlationId) noexcept;

// Sends through the send function while connected; else queues a copy. False when a send fails.
bool SendOrQueueMessage(const std::vector<BYTE>& message) noexcept;

// What the library leaves to the service: the transport to the remote client and its answers.
using SendFunction = std::function<bool(const std::vector<BYTE>& message)>;
void SetSendFunction(SendFunction send);
// Connected: the queued messages are sent, oldest first (a failed one stays queued).
void SetClientConnected(bool connected);
// The client's answer to `requestId`: completes its pending call, or is kept for a later
// opnum 1 call. The assertion's copies are wiped when they are released.
void OnClientAssertion(uint64_t requestId, HRESULT hr, const std::wstring& assertion);
// Closing: every pending call completes with E_ABORT and new calls fail with E_FAIL. Reopen
// clears the closing flag and the stored answers (a service that starts serving again).
void CloseServer();
void ReopenServer();

}  // namespace EntraAuth
