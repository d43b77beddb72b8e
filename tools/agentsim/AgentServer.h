// The stand-in node manager of the agent: listens for shared-memory connects (the RPC
// initiate request and the legacy connect), runs the server half of the authentication and
// of the channel, and dispatches requests to queue handlers. The "DesktopManager" handler
// answers from a scenario in the property bag's XML form:
//
//   <PROPERTYBAG>
//     <ITEM name="server" type="BAG">                 optional negotiation behaviour:
//       <ITEM name="MajorVersion">2</ITEM>              reported major version (default 2)
//       <ITEM name="MinorVersion">11</ITEM>             reported minor version (default 11)
//       <ITEM name="prefCharEncodingOnWire">1</ITEM>    preferred wire encoding (default none)
//       <ITEM name="Packages">Negotiate,NTLM</ITEM>     packages accepted (default
//                                                       "Negotiate,Kerberos,NTLM,NONE")
//       <ITEM name="clientMarker">0</ITEM>              echo this marker instead of the client's
//       <ITEM name="omitAuthGuid">true</ITEM>           leave "authGuid" out
//       <ITEM name="omitSelectedPackage">true</ITEM>    leave "SelectedPackage" out
//       <ITEM name="challenge">true</ITEM>              demand the local challenge event
//       <ITEM name="hangInitiate">true</ITEM>           take the RPC initiate call, never answer it
//       <ITEM name="silentHandshake">true</ITEM>        take the connect, never answer its first token
//       <ITEM name="selectPackage">NONE</ITEM>          select this package, offered or not
//       <ITEM name="speakForPid">1234</ITEM>            final token names that process (and hands it
//                                                       a matching mapping)
//     </ITEM>
//     <ITEM name="DesktopManager" type="BAG">         one entry per operation (queue hint):
//       <ITEM name="GetCredentialsForTicket" type="BAG">
//         <ITEM name="answer" type="BAG">...</ITEM>    the answer bag (default empty)
//         <ITEM name="result">0</ITEM>                 result code of the response (default 0)
//         <ITEM name="neverAnswer">true</ITEM>         take the request and never answer
//         <ITEM name="delayMs">200</ITEM>              answer after a delay
//         <ITEM name="echo">true</ITEM>                answer with the request's own payload
//         <ITEM name="closeChannel">true</ITEM>        close the channel instead of answering
//         <ITEM name="garbage">true</ITEM>             send a malformed packet first (then answer, or not)
//       </ITEM>
//       <ITEM name="*" type="BAG">...</ITEM>           any other operation
//     </ITEM>
//   </PROPERTYBAG>
// An operation with no entry (and no "*") is answered with result 1 and an ErrorText. A queue
// other than "DesktopManager" and "AgentSim" is answered with result 3 ("NoQueueHandler").
// Queue "AgentSim", operation "GetStats", answers "requests" and "cancels" received so far and
// "lastRequestId", the message id of the last request to "DesktopManager".
#pragma once
#include "lib/mfw/common/channel/MessageChannel.h"
#include "lib/mfw/common/channel/NodeManagerNames.h"
#include "lib/mfw/common/bag/PropertyBag.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace agentsim {

class AgentServer : public CORE::IChannelSink {
public:
    struct Options {
        std::wstring instance;       // node manager instance (name suffix)
        CORE::PropertyBag scenario;
        bool rpcListener = true;
        bool legacyListener = true;
    };

    AgentServer() = default;
    ~AgentServer() override;

    bool Start(const Options& options);
    void Stop();

    long Requests() const noexcept { return requests_.load(); }
    long Cancels() const noexcept { return cancels_.load(); }
    long Connections() const noexcept { return connections_.load(); }
    long Authenticated() const noexcept { return authenticated_.load(); }
    // Closes every open channel now (a peer that goes away).
    void CloseAllChannels();
    void SetScenario(const CORE::PropertyBag& scenario);

    // Makes the objects of connection `seqNo` for `clientPid` and starts its handshake.
    // The scenario's "server" knobs (negotiation and connect behaviour).
    CORE::PropertyBag ServerKnobs() const { return Scenario().TypeOf(L"server") == 2 ? Scenario().GetBag(L"server") : CORE::PropertyBag(); }
    DWORD Accept(DWORD clientPid, DWORD seqNo);

    // IChannelSink
    void OnChannelMessage(CORE::MessageChannel* channel, CORE::Message& message) override;
    void OnChannelClosed(CORE::MessageChannel* channel) override;

private:
    class LegacyListener;
    class DelayedAnswer;
    friend class DelayedAnswer;

    static void SpeakFor(DWORD pid, const std::wstring& authGuid, CORE::PropertyBag* token);
    // The server half of the authentication; `identity` receives the mapping the client checks.
    bool ServerHandshake(CORE::MessageChannel& channel, platform::unique_handle* identity);
    void ServeConnection(CORE::MessageChannel* channel);
    void Unregister(CORE::MessageChannel* channel);
    void Dispatch(CORE::MessageChannel* channel, CORE::Message& request);
    CORE::PropertyBag Scenario() const;


    Options options_;
    CORE::NodeManagerNames names_;
    mutable std::mutex lock_;
    CORE::PropertyBag scenario_;
    std::vector<CORE::MessageChannel*> channels_;  // held
    std::wstring lastRequestId_;
    std::atomic<DWORD> nextSeq_{1};
    std::atomic<long> requests_{0}, cancels_{0}, connections_{0}, authenticated_{0};
    std::atomic<long> active_{0};  // connections being served on pool threads
    std::atomic<bool> stopping_{false};
    bool rpcRegistered_ = false;
    CORE::corerunnable* legacy_ = nullptr;
    platform::unique_handle stopEvent_;
};

}  // namespace agentsim
