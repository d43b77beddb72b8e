// The outgoing shared-memory channel to the local node manager: the initiate request (over
// ncalrpc, or the legacy connect through named objects), the transport, the package
// selection and SSPI settings, authentication and the Kerberos-to-NTLM retry.
//
// Choices of this implementation, matched by agentsim:
//   - RPC interface TcNodeManagerSharedMem 1.0 (NodeManagerRpc.idl), endpoint and object
//     names in NodeManagerNames.h; the RPC call runs inside the structured-exception guard.
//   - The legacy connect takes the named lock (1 s per try, 3 tries), fills the section,
//     signals the request event and waits kConnectTimeoutMs for the reply event.
//   - Built-in outgoing packages: "Negotiate,Kerberos,NTLM"; "NONE" only when configured.
//   - The Kerberos SPN is "<DNS host>@<DNS domain>"; without a domain there is none.
#pragma once
#include "lib/mfw/common/channel/AuthChannel.h"
#include "lib/mfw/common/channel/MessageChannel.h"
#include "lib/mfw/common/channel/NodeManagerNames.h"

#include <string>

namespace CORE {

class SharedMemChannel {
public:
    static constexpr DWORD kConnectTimeoutMs = 10000;
    // Initiate and authentication together: the time-out of the agent request that connects.
    static constexpr DWORD kConnectDeadlineMs = 30000;
    static constexpr int kInUseRetries = 3;

    // Connects, authenticates and starts receiving; the returned channel is held once by the
    // caller. Null on any failure (logged).
    static MessageChannel* Connect(const std::wstring& serverName, IChannelSink* sink);

    // "NONE", "NEGOTIATE", "KERBEROS", "NTLM" (any case), or empty; an invalid value logs and
    // gives "NEGOTIATE".
    static std::wstring GetAuthPackageOverrideMode();
    // The offered packages, SPN and SSPI flags from the settings; false when Kerberos is
    // enforced and no SPN can be had.
    static bool SetAuthParams(const std::wstring& overrideMode, AuthOptions* options);
    static std::wstring BuildKerberosSpn();

    // The initiate request over RPC: true with the connection's sequence number and server pid.
    static bool RpcInitiate(const NodeManagerNames& names, DWORD* seqNo, DWORD* serverPid);
    static bool LegacyInitiate(const NodeManagerNames& names, DWORD seqNo, DWORD* serverPid);
    // The process that answered the initiate must run as the node manager's account (logged
    // refusal otherwise); `account` receives its SID for the final token's check.
    static bool VerifyNodeManager(DWORD serverPid, std::wstring* account);

private:
    static bool Initiate(const NodeManagerNames& names, bool rpcDisabled, bool legacyFallback, DWORD* seqNo,
                         DWORD* serverPid);
    static MessageChannel* OpenConnection(const NodeManagerNames& names, DWORD seqNo, DWORD serverPid);
    static bool PeerIsTheVerifiedAccount(MessageChannel& channel, const PeerParams& peer, DWORD serverPid,
                                         const std::wstring& account);
    static void Abandon(MessageChannel* channel);
    static void SendStartup(MessageChannel& channel);
};

}  // namespace CORE
