#include "EntraService.h"

#include "EntraAuthRpc.h"
#include "LocalRpcListener.h"
#include "SignedRequestCheck.h"
#include "entra/service/EntraRpcServer.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <sddl.h>

namespace agentsim {
namespace {

// The synchronous stubs' call: the routine waits until the library completes it (a pending
// call waits until the client answers or the service stops).
class BlockingCall final : public EntraAuth::IAsyncRpcCall {
public:
    RPC_STATUS Complete(HRESULT reply) override {
        reply_ = reply;
        ::SetEvent(done_.get());
        return RPC_S_OK;
    }
    HRESULT Wait() {
        ::WaitForSingleObject(done_.get(), INFINITE);
        return reply_;
    }

private:
    platform::unique_handle done_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HRESULT reply_ = E_FAIL;
};

}  // namespace

EntraService::Knobs EntraService::FromScenario(const CORE::PropertyBag& entra) {
    Knobs knobs;
    knobs.assertion = entra.Get(L"assertion", L"");
    knobs.hr = static_cast<HRESULT>(CORE::ParseUInt(entra.Get(L"hr", L"0"), false));
    knobs.delayMs = static_cast<DWORD>(CORE::ParseUInt(entra.Get(L"delayMs", L"0"), false));
    knobs.neverAnswer = entra.Get(L"neverAnswer", L"false") == L"true";
    knobs.brokerRequestId = CORE::ParseUInt(entra.Get(L"brokerRequestId", L"0"), false);
    return knobs;
}

bool EntraService::Start(DWORD sessionId, const Knobs& knobs) {
    knobs_ = knobs;
    stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ServeLocalRpc(L"ZeveviZuzWin32Rpc_" + std::to_wstring(sessionId), Stub_DazEntraAuth_v1_0_s_ifspec)) return false;
    registered_ = true;
    EntraAuth::ReopenServer();
    EntraAuth::SetSendFunction([this](const std::vector<BYTE>& message) { return OnMessage(message); });
    EntraAuth::SetClientConnected(true);
    if (knobs_.brokerRequestId) AnswerLater(knobs_.brokerRequestId, knobs_.hr);

    // The service's own event, with the DACL the module creates it with when it comes first.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor, nullptr);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    const std::wstring name = L"Global\\ZeveviZuzWin32RpcStarted_" + std::to_wstring(sessionId);
    started_.reset(::CreateEventW(&attributes, TRUE, FALSE, name.c_str()));
    ::LocalFree(descriptor);
    return started_ && ::SetEvent(started_.get());
}

void EntraService::Stop() {
    if (stop_) ::SetEvent(stop_.get());
    std::vector<std::thread> answers;
    {
        std::lock_guard<std::mutex> guard(lock_);
        answers.swap(answers_);
    }
    for (auto& thread : answers) thread.join();
    if (!registered_) return;
    EntraAuth::CloseServer();
    EntraAuth::SetClientConnected(false);
    EntraAuth::SetSendFunction(nullptr);
    ::RpcServerUnregisterIf(Stub_DazEntraAuth_v1_0_s_ifspec, nullptr, FALSE);
    registered_ = false;
}

// The remote client: believes a request only when its signature verifies.
bool EntraService::OnMessage(const std::vector<BYTE>& message) {
    SignedRequest request;
    std::string why;
    if (!VerifySignedRequest(message, &request, &why)) {
        CORE::LogMessage(CORE::LOG_ERROR, L"agentsim: the signed request is refused: %S", why.c_str());
        if (request.requestId) AnswerLater(request.requestId, E_ACCESSDENIED);
        return true;
    }
    AnswerLater(request.requestId, knobs_.hr);
    return true;
}

void EntraService::AnswerLater(uint64_t requestId, HRESULT hr) {
    if (knobs_.neverAnswer && hr != E_ACCESSDENIED) return;
    std::lock_guard<std::mutex> guard(lock_);
    answers_.emplace_back([this, requestId, hr] {
        if (::WaitForSingleObject(stop_.get(), knobs_.delayMs) != WAIT_TIMEOUT) return;
        EntraAuth::OnClientAssertion(requestId, hr, SUCCEEDED(hr) ? knobs_.assertion : std::wstring());
    });
}

}  // namespace agentsim

// The server stub's routines: each waits until the library completes its call.
namespace {

template <typename Routine>
HRESULT Serve(Routine routine) {
    agentsim::BlockingCall call;
    routine(&call);
    return call.Wait();
}

}  // namespace

extern "C" LONG __cdecl Stub_RpcRequestRdpAssertionFromClient(handle_t binding, MIDL_uhyper requestId,
                                                             const wchar_t* brokerUserSid, const wchar_t* correlationId,
                                                             wchar_t** assertion) {
    return Serve([&](EntraAuth::IAsyncRpcCall* call) {
        EntraAuth::ServerRpcRequestRdpAssertionFromClient(call, binding, requestId, brokerUserSid, correlationId, assertion);
    });
}

extern "C" LONG __cdecl Stub_RpcGetRdpAssertionFromClient(handle_t binding, MIDL_uhyper requestId, wchar_t** assertion) {
    return Serve([&](EntraAuth::IAsyncRpcCall* call) {
        EntraAuth::ServerRpcGetRdpAssertionFromClient(call, binding, requestId, assertion);
    });
}
