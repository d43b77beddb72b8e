// Authentication of a channel: the negotiation of versions, package, markers and wire
// encoding, the security package's token exchange, and the final tokens with each side's
// peer parameters. The client side is this library's; the server half lives in agentsim and
// uses the same names and helpers.
//
// Every step is a one-way message (type 3) in the plain form with no queue name; its hint
// names the step:
//   "__AuthNegotiate__"  first tokens: MajorVersion, MinorVersion, PackageList, clientMarker,
//                        [authWorkerName], [prefCharEncodingOnWire], [spn] from the client;
//                        clientMarker, MajorVersion, MinorVersion, SelectedPackage, serverMarker,
//                        [CertSslWorkerName], authGuid, [challengeEvent], [prefCharEncodingOnWire]
//                        from the server. The client may add its first SSPI token for its first
//                        package ("authToken" binary, "authTokenPackage"); a server that selects
//                        that package may answer it in its reply ("authToken", "authTokenComplete"),
//                        which saves a round trip. Either side may leave these out.
//   "__AuthToken__"      one SSPI token each way in the binary item "token"; the server adds
//                        "complete" = "true" when its side of the context is established
//   "__AuthFinal__"      the peer parameters of each side (kPeerParams)
//   "__AuthFailed__"     the server refuses: "ErrorCode", "ErrorText"
// Each wait for the peer's step is bounded by \Authenticate\MsgTimeoutSeconds.
#pragma once
#include "lib/mfw/common/channel/MessageChannel.h"

#include <string>
#include <vector>

namespace CORE {

extern const wchar_t kAuthNegotiateHint[];
extern const wchar_t kAuthTokenHint[];
extern const wchar_t kAuthFinalHint[];
extern const wchar_t kAuthFailedHint[];

constexpr unsigned kAuthMajorVersion = 2;
constexpr unsigned kAuthMinorVersion = 11;

// What the client asks for.
struct AuthOptions {
    std::vector<std::wstring> packages;  // offered, in order of preference
    std::wstring authWorkerName;
    int preferredEncoding = 0;           // 0 none, 1 Utf8, 2 Utf16
    std::wstring spn;                    // target name for SSPI
    bool setTargetName = true;
    bool provideSpnInNego = false;
    ULONG contextWanted = 30;
    ULONG contextMinimum = 28;
    DWORD stepTimeoutMs = 300000;
    ULONGLONG deadline = 0;              // GetTickCount64 by which every step must have come; 0: none
    bool sharedMemory = true;
    unsigned minorVersion = kAuthMinorVersion;  // what this side reports
};

// The peer's parameters from its final token.
struct PeerParams {
    std::wstring machineName, programName, programPath, userDomainName, langIdName, exeName, peerSid;
    DWORD progFlags = 0, session = 0, pid = 0;
    uint64_t guidFileMappingHandle = 0;
};

struct AuthResult {
    std::wstring selectedPackage;
    bool packageFailed = false;  // the security package's exchange failed (the connect may retry)
    std::wstring reason;
    unsigned peerLevel = 0;
    int encoding = 0;
    std::wstring authGuid;
    PeerParams peer;
    // This side's final token, kept with its identity mapping until the peer has checked it.
    bool finalSent = false;
    PropertyBag ownParams;
    platform::unique_handle ownMapping;
};

class AuthChannel {
public:
    // The whole client side: negotiation, token exchange, final tokens. On success the
    // channel has its peer level, encoding and (for SSPI) its protection.
    static bool OutgoingChannel(MessageChannel& channel, const AuthOptions& options, AuthResult* result);

    // --- Shared with the server half ---
    // "Utf8" 1, "Utf16" 2, empty 0; an unknown text logs and gives 0.
    static int GetOnWireCharEncoding(const std::wstring& text);
    // Utf8 when both sides stated a preference and one of them is Utf8, else Utf16.
    static int NegotiateEncoding(int local, int remote);
    // This process's parameters; on shared memory a mapping named after authGuid is published
    // and its handle value added ("guidFileMappingHandle"), kept open by `mapping`.
    static PropertyBag LocalPeerParams(const std::wstring& authGuid, bool sharedMemory, platform::unique_handle* mapping);
    // Checks and reads the peer's final token; on failure `reason` holds the logged text.
    static bool processPeerParams(MessageChannel& channel, const PropertyBag& token, bool sharedMemory,
                                  const std::wstring& authGuid, PeerParams* peer, std::wstring* reason);
    // The peer with `pid` holds a mapping with the handle value whose content names authGuid.
    static bool VerifyGuidMapping(DWORD pid, uint64_t handleValue, const std::wstring& authGuid);
    static std::wstring NewMarker();

private:
    static bool ExchangeTokens(MessageChannel& channel, const AuthOptions& options, const PropertyBag& reply,
                               std::unique_ptr<SecurityContext> early, AuthResult* result);
    static bool SendFinal(MessageChannel& channel, const AuthOptions& options, AuthResult* result);
    static bool OutgoingFinal(MessageChannel& channel, const AuthOptions& options, AuthResult* result);
};

}  // namespace CORE
