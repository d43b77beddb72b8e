// The stand-in agent's common service for Entra ID SSO: serves the Entra RPC interface on the
// session's endpoint ("ZeveviZuzWin32Rpc_<session id>") with the library's service routines,
// signals the readiness event, and plays the remote client that receives the signed request and
// answers with an RDP assertion. Its scenario is the "entra" bag of the agent's scenario:
//
//   <ITEM name="entra" type="BAG">
//     <ITEM name="assertion">...</ITEM>         the client's assertion (default empty)
//     <ITEM name="hr">0x80070005</ITEM>         the client answers with this HRESULT instead
//     <ITEM name="delayMs">300</ITEM>           the client answers this late (default at once)
//     <ITEM name="neverAnswer">true</ITEM>      the client never answers
//     <ITEM name="brokerRequestId">42</ITEM>    the broker sent request 42 to the client already:
//                                               its answer comes unasked, after delayMs
//   </ITEM>
// A request whose signature does not verify is answered with E_ACCESSDENIED. Pending calls
// complete (E_ABORT) when the service stops.
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agentsim {

class EntraService {
public:
    struct Knobs {
        std::wstring assertion;
        HRESULT hr = S_OK;
        DWORD delayMs = 0;
        bool neverAnswer = false;
        uint64_t brokerRequestId = 0;
    };
    static Knobs FromScenario(const CORE::PropertyBag& entra);

    EntraService() = default;
    ~EntraService() { Stop(); }
    EntraService(const EntraService&) = delete;
    EntraService& operator=(const EntraService&) = delete;

    // Serves and signals readiness; false (logged) when the endpoint cannot be served.
    bool Start(DWORD sessionId, const Knobs& knobs);
    void Stop();

private:
    bool OnMessage(const std::vector<BYTE>& message);
    void AnswerLater(uint64_t requestId, HRESULT hr);

    Knobs knobs_;
    bool registered_ = false;
    platform::unique_handle started_, stop_;
    std::mutex lock_;
    std::vector<std::thread> answers_;
};

}  // namespace agentsim
