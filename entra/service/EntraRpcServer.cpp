#include "EntraRpcServer.h"

#include "entra/CloudApText.h"
#include "entra/DeviceAuthData.h"
#include "entra/EntraAuthRequest.h"
#include "entra/EntraFailure.h"
#include "entra/EntraRpcClient.h"
#include "entra/P2PJoinedCertUtils.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/SecureString.h"

#include <cwchar>
#include <deque>
#include <map>
#include <mutex>

namespace EntraAuth {
namespace {

using CORE::LOG_DEBUG;
using CORE::LOG_ERROR;
using CORE::LogMessage;

struct PendingCall {
    IAsyncRpcCall* call;
    wchar_t** assertion;
};

struct StoredAnswer {
    HRESULT hr;
    CORE::SecureWString assertion;
};

// One per process. The routines run under `lock`, which is recursive: a send function may
// answer at once, and that answer completes the very call that is sending.
struct ServerContext {
    std::recursive_mutex lock;
    bool closing = false;
    std::map<uint64_t, PendingCall> pending;
    std::map<uint64_t, StoredAnswer> answers;

    std::mutex sendLock;
    bool connected = false;
    SendFunction send;
    std::deque<std::vector<BYTE>> unsent;
};

ServerContext& Server() {
    static ServerContext context;
    return context;
}

// The out pointer gets a copy the RPC runtime frees once it has marshalled it; a failure with
// no assertion leaves it null.
void SetOutAssertion(wchar_t** out, const CORE::SecureWString& assertion) {
    if (!out || assertion.empty()) return;
    const size_t bytes = (assertion.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(MIDL_user_allocate(bytes));
    ENTRA_FAIL_IF(!copy, E_OUTOFMEMORY, L"MIDL_user_allocate failed");
    std::wmemcpy(copy, assertion.c_str(), assertion.size() + 1);
    *out = copy;
}

void Answer(const PendingCall& call, HRESULT hr, const CORE::SecureWString& assertion) {
    try {
        SetOutAssertion(call.assertion, assertion);
    } catch (...) {
        hr = ResultOfCaught();
    }
    CompleteAsyncRpc(call.call, hr);
}

// Takes the call; one still pending under the same id is given up first, so that no caller
// waits for an answer that now goes to another.
void RegisterPending(ServerContext& server, uint64_t requestId, IAsyncRpcCall* call, wchar_t** assertion) {
    auto earlier = server.pending.find(requestId);
    if (earlier != server.pending.end()) {
        LogMessage(LOG_ERROR, L"[EntraAuth] EntraAuth::RegisterPendingRpc: req=%llx was pending already, aborting it",
                   static_cast<unsigned long long>(requestId));
        CompleteAsyncRpc(earlier->second.call, E_ABORT);
        server.pending.erase(earlier);
    }
    server.pending[requestId] = PendingCall{call, assertion};
}

// Completes the pending call of `requestId` if it is still pending; true when it was.
bool CompletePending(ServerContext& server, uint64_t requestId, HRESULT hr, const CORE::SecureWString& assertion) {
    auto found = server.pending.find(requestId);
    if (found == server.pending.end()) return false;
    const PendingCall call = found->second;
    server.pending.erase(found);
    Answer(call, hr, assertion);
    return true;
}

void RequestLocked(ServerContext& server, IAsyncRpcCall* asyncHandle, uint64_t requestId,
                   const wchar_t* brokerUserSid, const wchar_t* correlationId, wchar_t** assertion) {
    ENTRA_FAIL_IF(server.closing, E_FAIL, L"g_rpcServerContext->ServerRpcRequestRdpAssertionFromClient failed, aborting rpc!");
    const std::wstring correlation =
        correlationId && *correlationId ? std::wstring(correlationId) : EmptyCorrelationId();
    std::wstring deviceId, nonce, certificate;
    ENTRA_FAIL_IF(!GetDeviceAadAuthData(correlation, &deviceId, &nonce, &certificate), E_FAIL,
                  L"RPC failed due to failure to fetch DeviceID and/or device nonce");
    RegisterPending(server, requestId, asyncHandle, assertion);
    const HRESULT sent = RequestClientEntraAuthentication(requestId, deviceId, nonce, certificate,
                                                          brokerUserSid ? brokerUserSid : L"", correlation);
    if (FAILED(sent)) {
        // Only if the call is still ours: an answer may have completed it already.
        auto found = server.pending.find(requestId);
        if (found != server.pending.end() && found->second.call == asyncHandle) {
            server.pending.erase(found);
            ENTRA_FAIL(E_FAIL, L"RPC failed due to failure to request RDP assertion from client.");
        }
    }
}

void WaitLocked(ServerContext& server, IAsyncRpcCall* asyncHandle, uint64_t requestId, wchar_t** assertion) {
    ENTRA_FAIL_IF(server.closing, E_FAIL, L"g_rpcServerContext->ServerRpcGetRdpAssertionFromClient failed, aborting rpc!");
    auto stored = server.answers.find(requestId);
    if (stored == server.answers.end()) return RegisterPending(server, requestId, asyncHandle, assertion);
    // An answer is handed out once; its copy here is wiped as it goes.
    StoredAnswer answer = std::move(stored->second);
    server.answers.erase(stored);
    Answer(PendingCall{asyncHandle, assertion}, answer.hr, answer.assertion);
}

// A routine's body under the server's lock; a failure completes the call with its HRESULT.
template <typename Body>
void RunLocked(IAsyncRpcCall* asyncHandle, Body body) noexcept {
    if (!asyncHandle) {
        ENTRA_LOG_FAILURE(E_INVALIDARG, L"asyncHandle is NULL");
        return;
    }
    ServerContext& server = Server();
    std::lock_guard<std::recursive_mutex> guard(server.lock);
    try {
        body(server);
    } catch (...) {
        CompleteAsyncRpc(asyncHandle, ResultOfCaught());
    }
}

}  // namespace

RPC_STATUS RpcAsyncStateCall::Complete(HRESULT reply) {
    return ::RpcAsyncCompleteCall(state_, &reply);
}

HRESULT CompleteAsyncRpc(IAsyncRpcCall* asyncHandle, HRESULT hr) noexcept {
    if (!asyncHandle) return ENTRA_LOG_FAILURE(E_INVALIDARG, L"asyncHandle is null");
    LogMessage(LOG_DEBUG, L"[EntraAuth] EntraAuth::CompleteAsyncRpc: Completing RPC %p with hr=%08x",
               static_cast<void*>(asyncHandle), static_cast<unsigned>(hr));
    const RPC_STATUS status = asyncHandle->Complete(hr);
    return status == RPC_S_OK ? S_OK : HRESULT_FROM_WIN32(status);
}

void ServerRpcRequestRdpAssertionFromClient(IAsyncRpcCall* asyncHandle, handle_t, uint64_t requestId,
                                            const wchar_t* brokerUserSid, const wchar_t* correlationId,
                                            wchar_t** assertion) noexcept {
    LogMessage(LOG_DEBUG, L"[EntraAuth] ServerRpcRequestRdpAssertionFromClient: Entered - req=%llx",
               static_cast<unsigned long long>(requestId));
    RunLocked(asyncHandle, [&](ServerContext& server) {
        RequestLocked(server, asyncHandle, requestId, brokerUserSid, correlationId, assertion);
    });
}

void ServerRpcGetRdpAssertionFromClient(IAsyncRpcCall* asyncHandle, handle_t, uint64_t requestId,
                                        wchar_t** assertion) noexcept {
    LogMessage(LOG_DEBUG, L"[EntraAuth] ServerRpcGetRdpAssertionFromClient: Entered - req=%llx",
               static_cast<unsigned long long>(requestId));
    RunLocked(asyncHandle, [&](ServerContext& server) { WaitLocked(server, asyncHandle, requestId, assertion); });
    LogMessage(LOG_DEBUG, L"[EntraAuth] ServerRpcGetRdpAssertionFromClient: Exit - req=%llx",
               static_cast<unsigned long long>(requestId));
}

HRESULT RequestClientEntraAuthentication(uint64_t requestId, const std::wstring& deviceId,
                                         const std::wstring& deviceNonce, const std::wstring& certificate,
                                         const std::wstring& brokerUserSid, const std::wstring& correlationId) noexcept {
    LogMessage(LOG_DEBUG, L"[EntraAuth] EntraAuth::RequestClientEntraAuthentication: RequestId: %llx, DeviceId: %ls, DeviceNonce: %ls",
               static_cast<unsigned long long>(requestId), deviceId.c_str(), deviceNonce.c_str());
    if (deviceId.empty() || deviceNonce.empty()) {
        LogMessage(LOG_ERROR, L"[EntraAuth] EntraAuth::RequestClientEntraAuthentication: DeviceNonce/DeviceID is invalid.");
        return E_INVALIDARG;
    }
    try {
        const std::vector<BYTE> message = BuildEntraAuthRequestMessage(
            requestId, ToUtf8(deviceId), ToUtf8(deviceNonce), ToUtf8(brokerUserSid), ToUtf8(correlationId),
            ToUtf8(certificate), [&deviceId](const std::vector<BYTE>& data) { return SignPayloadWithP2PCert(deviceId, data); });
        if (message.empty()) {
            LogMessage(LOG_ERROR, L"[EntraAuth] EntraAuth::RequestClientEntraAuthentication: Failed to build RDS AAD auth request message");
            return E_FAIL;
        }
        return SendOrQueueMessage(message) ? S_OK : E_FAIL;
    } catch (...) {
        return CaughtResult("EntraAuth::RequestClientEntraAuthentication");
    }
}

bool SendOrQueueMessage(const std::vector<BYTE>& message) noexcept {
    ServerContext& server = Server();
    std::lock_guard<std::mutex> guard(server.sendLock);
    try {
        if (server.connected) {
            if (!server.send || !server.send(message)) {
                LogMessage(LOG_ERROR, L"[EntraAuth] EntraAuth::SendOrQueueMessage: Failed to send ENTRA_AUTH_MSG (%zu bytes)",
                           message.size());
                return false;
            }
            LogMessage(LOG_DEBUG, L"[EntraAuth] EntraAuth::SendOrQueueMessage: Sent ENTRA_AUTH_MSG (%zu bytes)", message.size());
            return true;
        }
        LogMessage(LOG_DEBUG,
                   L"[EntraAuth] EntraAuth::SendOrQueueMessage: Connection state is FALSE, therefore, queueing send request. (%zu bytes)",
                   message.size());
        server.unsent.push_back(message);
        return true;
    } catch (...) {
        CaughtResult("EntraAuth::SendOrQueueMessage");
        return false;
    }
}

void SetSendFunction(SendFunction send) {
    ServerContext& server = Server();
    std::lock_guard<std::mutex> guard(server.sendLock);
    server.send = std::move(send);
}

void SetClientConnected(bool connected) {
    ServerContext& server = Server();
    std::lock_guard<std::mutex> guard(server.sendLock);
    server.connected = connected;
    while (connected && !server.unsent.empty() && server.send && server.send(server.unsent.front()))
        server.unsent.pop_front();
}

void OnClientAssertion(uint64_t requestId, HRESULT hr, const std::wstring& assertion) {
    ServerContext& server = Server();
    std::lock_guard<std::recursive_mutex> guard(server.lock);
    if (server.closing) return;
    CORE::SecureWString copy(assertion);
    if (CompletePending(server, requestId, hr, copy)) return;
    server.answers[requestId] = StoredAnswer{hr, std::move(copy)};
}

void CloseServer() {
    ServerContext& server = Server();
    std::lock_guard<std::recursive_mutex> guard(server.lock);
    server.closing = true;
    for (const auto& [id, call] : server.pending) CompleteAsyncRpc(call.call, E_ABORT);
    server.pending.clear();
    server.answers.clear();
}

void ReopenServer() {
    ServerContext& server = Server();
    std::lock_guard<std::recursive_mutex> guard(server.lock);
    server.closing = false;
    server.answers.clear();
}

}  // namespace EntraAuth
