// The seam to the operating system: the services Wine lacks or fakes and the session facts
// that tests must steer. Everything else calls Win32 directly.
#pragma once
#include <windows.h>
#include <rpc.h>
#include <wincred.h>
#include <wtsapi32.h>
#include <evntprov.h>

#include "platform/AadJoin.h"
#include "platform/Directory.h"
#include "platform/LsaClient.h"
#include "platform/SecurityPackage.h"
#include "platform/SmartCardService.h"

#include <string>

namespace platform {

// The private-namespace calls, resolved at run time because older systems lack them; a null
// member means "not exported by kernel32". openEvent opens events inside such a namespace.
struct PrivateNamespaceApi {
    HANDLE(WINAPI* createBoundaryDescriptor)(LPCWSTR name, ULONG flags) = nullptr;
    BOOL(WINAPI* addSidToBoundaryDescriptor)(HANDLE* boundary, PSID sid) = nullptr;
    VOID(WINAPI* deleteBoundaryDescriptor)(HANDLE boundary) = nullptr;
    HANDLE(WINAPI* openPrivateNamespace)(LPVOID boundary, LPCWSTR alias) = nullptr;
    BOOLEAN(WINAPI* closePrivateNamespace)(HANDLE ns, ULONG flags) = nullptr;
    HANDLE(WINAPI* openEvent)(DWORD access, BOOL inherit, LPCWSTR name) = nullptr;
};

class IPlatform {
public:
    IPlatform() = default;
    IPlatform(const IPlatform&) = delete;
    IPlatform& operator=(const IPlatform&) = delete;
    virtual ~IPlatform() = default;

    // --- The session of this process ---
    // ProcessIdToSessionId; false with the last error set.
    virtual bool ProcessIdToSessionId(DWORD processId, DWORD* sessionId) = 0;
    // WTSGetActiveConsoleSessionId.
    virtual DWORD GetActiveConsoleSessionId() = 0;
    // WTSQuerySessionInformation of the current session on the current server; false with
    // the last error set when the query fails or returns no data.
    virtual bool QueryClientProtocol(USHORT* protocol) = 0;
    virtual bool QueryConnectState(WTS_CONNECTSTATE_CLASS* state) = 0;
    // WTSUserName through the narrow call; an empty name means nobody is logged on.
    virtual bool QueryUserName(std::string* userName) = 0;

    // --- The system and the host process ---
    // VerifyVersionInfoW with its exact semantics.
    virtual BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask,
                                   DWORDLONG conditionMask) = 0;
    // GetModuleFileNameW(NULL): full path of the host executable.
    virtual std::wstring HostExecutablePath() = 0;
    // Ends the own process (OpenProcess with PROCESS_TERMINATE, TerminateProcess).
    virtual void TerminateOwnProcess(UINT exitCode) = 0;

    // --- Private object namespaces (not implemented by Wine) ---
    virtual PrivateNamespaceApi GetPrivateNamespaceApi() = 0;

    // --- Event Tracing for Windows (Wine accepts and drops the events) ---
    virtual ULONG EventRegister(const GUID& provider, REGHANDLE* handle) = 0;
    virtual ULONG EventWrite(REGHANDLE handle, const EVENT_DESCRIPTOR& descriptor, ULONG count,
                             EVENT_DATA_DESCRIPTOR* data) = 0;
    virtual ULONG EventUnregister(REGHANDLE handle) = 0;

    // --- Logon buffers ---
    // CredProtectW with its contract: a too small or missing output buffer fails with
    // ERROR_INSUFFICIENT_BUFFER and stores the characters needed (terminator included).
    // Wine raises an exception on the real call and hangs, so nothing calls it but this seam.
    virtual BOOL ProtectCredential(BOOL asSelf, const wchar_t* credentials, DWORD credentialsChars,
                                   wchar_t* protectedCredentials, DWORD* protectedChars,
                                   CRED_PROTECTION_TYPE* protectionType) = 0;
    // The id of an authentication package: untrusted LSA connection, lookup of the narrow
    // name, deregistration. Returns the NTSTATUS of the first step that failed, else 0, and
    // writes the id only on success.
    virtual NTSTATUS LookupAuthenticationPackage(const char* packageName, ULONG* packageId) = 0;
    // Account and directory lookups of certificate logons.
    virtual IDirectory& Directory() = 0;
    // --- End of logon buffers ---

    // --- Refusing a connection (Wine's MessageBoxW blocks forever; WTSDisconnectSession does nothing) ---
    // MessageBoxW without owner; returns the button pressed (0 on failure).
    virtual int ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT style) = 0;
    // WTSDisconnectSession of the current session on the current server.
    virtual bool DisconnectCurrentSession(bool wait) = 0;

    // --- The event log (Wine accepts reports without effect) ---
    // One event with one string under the source "Velmora Zephral", the current user's SID
    // attached; false with the last error set when it could not be reported.
    virtual bool WriteEventLogEntry(WORD type, WORD category, DWORD eventId, const std::wstring& text) = 0;

    // --- Message channel: security packages and the node manager (begin) ---
    // The security packages a channel authenticates with (secur32 in the product).
    virtual ISecurityPackage& SecurityPackage() = 0;
    // The smart card service and the card's key providers (winscard, ncrypt, CryptoAPI).
    virtual ISmartCardService& SmartCardService() = 0;
    // The machine's DNS host and domain names (GetComputerNameExW); the domain is empty on a
    // machine outside a domain, which is what Wine reports.
    virtual bool GetMachineDnsNames(std::wstring* host, std::wstring* domain) = 0;
    // Suffix that tells the names of one node manager instance (RPC endpoint, sections,
    // events) from another; empty for the product's own names.
    virtual std::wstring NodeManagerInstance() = 0;
    // The user SID ("S-1-5-..." form) a running process has; false when it cannot be read.
    virtual bool ProcessUserSid(DWORD processId, std::wstring* sid) = 0;
    // Whether the node manager service may run as `sid`: only LocalSystem does.
    virtual bool IsNodeManagerAccount(const std::wstring& sid) = 0;
    // Has the RPC runtime prove the node manager on `binding` before a call goes out: mutual
    // authentication as "NT AUTHORITY\SYSTEM", privacy, identify level.
    virtual RPC_STATUS SecureNodeManagerBinding(RPC_BINDING_HANDLE binding) = 0;
    // --- Message channel: security packages and the node manager (end) ---

    // --- Entra device identity (netapi32's join information; Wine lacks the call) ---
    // NetGetAadJoinInformation(NULL) with its HRESULT; `present` false when it gave no data.
    virtual HRESULT GetAadJoinInformation(AadJoinInfo* info, bool* present) = 0;

    // --- Entra cloud authentication (Wine's wtsapi32 lacks the WTSCloudAuth* calls, its LSA CloudAP) ---
    // The library whose WTSCloudAuth* exports are resolved: "wtsapi32.dll"; tests name a
    // scripted stand-in. Only the name: loading and resolving stay the product's own code.
    virtual std::wstring CloudAuthLibrary() = 0;
    // The LSA calls of the CloudAP road.
    virtual ILsaClient& Lsa() = 0;

    // --- Entra RPC to the agent's common service (Wine's rpcrt4 lacks both calls) ---
    // An unbound binding to ncalrpc `endpoint` that only the service can take: mutual
    // authentication as "NT AUTHORITY\SYSTEM", privacy, WINNT, identify level (RpcBindingCreateW).
    virtual RPC_STATUS CreateEntraRpcBinding(const std::wstring& endpoint, RPC_BINDING_HANDLE* binding) = 0;
    // Binds it to the interface once the service is up (RpcBindingBind).
    virtual RPC_STATUS BindEntraRpc(RPC_BINDING_HANDLE binding, RPC_IF_HANDLE ifSpec) = 0;

    // A key vault that is still starting, for tests of the retry rule: true when the next key
    // vault call must answer "not ready". The real vault never does this on demand: false.
    virtual bool ConsumeKeyVaultNotReadyCall() = 0;
};

// The user SID of a process (the real lookup every implementation shares); false when the
// process or its token cannot be opened.
bool ReadProcessUserSid(DWORD processId, std::wstring* sid);
inline constexpr const wchar_t* kLocalSystemSid = L"S-1-5-18";

// A binding to ncalrpc `endpoint` from its string form, without any security of its own.
RPC_STATUS ComposeLocalRpcBinding(const std::wstring& endpoint, RPC_BINDING_HANDLE* binding);

// The process-wide instance: the one installed by Set(), else the build's default
// (the real calls in the product DLL, the registry-driven simulation in the _sim DLL).
IPlatform& Get();
// Installs a replacement (null restores the default); returns the previous replacement.
IPlatform* Set(IPlatform* replacement);
// Defined by exactly one of the implementation libraries linked into a binary.
IPlatform& DefaultPlatform();

}  // namespace platform
