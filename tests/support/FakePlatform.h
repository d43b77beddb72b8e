// The scriptable seam for unit tests: answers come from public fields, and every action the
// code under test asks for is recorded. Installing it replaces the process-wide instance
// until it is destroyed.
#pragma once
#include "platform/Platform.h"
#include "platform/VersionCheck.h"
#include "platform/testpkg/TestSecurityPackage.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class FakePlatform : public platform::IPlatform {
public:
    FakePlatform();
    ~FakePlatform() override;

    // --- Answers ---
    DWORD sessionId = 2;
    DWORD sessionIdError = 0;  // non-zero: ProcessIdToSessionId fails with it
    std::atomic<DWORD> consoleSessionId{1};
    USHORT clientProtocol = 2;
    DWORD clientProtocolError = 0;
    // Consumed one per query; the last one repeats. kConnectStateQueryFails makes that query fail.
    static constexpr WTS_CONNECTSTATE_CLASS kConnectStateQueryFails = static_cast<WTS_CONNECTSTATE_CLASS>(-1);
    std::vector<WTS_CONNECTSTATE_CLASS> connectStates;
    std::atomic<DWORD> connectStateError{0};
    std::string userName;
    std::atomic<DWORD> userNameError{0};
    platform::OsFacts os;
    std::wstring hostPath = L"C:\\Windows\\System32\\LogonUI.exe";

    // Private namespace behaviour.
    bool namespaceApiPresent = true;
    bool openPrivateNamespaceFails = false;
    DWORD openPrivateNamespaceError = ERROR_ACCESS_DENIED;
    // Events inside the namespace are the real named events "<prefix><name with '\' -> '.'>".
    std::wstring namespaceEventPrefix;

    // Channel authentication: the test security package, steerable through its fields.
    platform::testpkg::TestSecurityPackage securityPackage;
    std::wstring dnsHost = L"vdi-host";
    std::wstring dnsDomain;  // empty: not in a domain, as under Wine
    // A node manager instance of this process, so tests never meet another run's agentsim.
    std::wstring nodeManagerInstance;
    std::wstring processSid;          // what every process runs as; empty: the real lookup
    std::wstring nodeManagerAccount;  // the only account trusted; empty: any
    std::atomic<int> securedBindings{0};
    RPC_STATUS secureBindingResult = RPC_S_OK;
    std::atomic<int> keyVaultNotReadyCalls{0};  // key vault calls still to answer "not ready"

    // --- Records ---
    std::atomic<int> terminateCalls{0};
    std::atomic<UINT> terminateExitCode{0};
    std::atomic<int> connectStateQueries{0};
    std::atomic<int> namespaceCalls{0};  // any call through the namespace API
    std::vector<std::wstring> openedEventNames;
    // ETW: registration result and every event written (descriptor and first data item).
    ULONG eventRegisterResult = ERROR_SUCCESS;
    struct WrittenEvent {
        EVENT_DESCRIPTOR descriptor;
        std::vector<BYTE> data;
    };
    std::vector<WrittenEvent> etwEvents;
    std::atomic<int> eventRegistrations{0};
    std::atomic<int> eventUnregistrations{0};

    struct ReportedEvent {
        WORD type;
        WORD category;
        DWORD id;
        std::wstring text;
    };
    std::vector<ReportedEvent> events;  // event log entries, guarded by lock
    bool reportEventFails = false;
    std::mutex lock;

    // IPlatform
    bool ProcessIdToSessionId(DWORD processId, DWORD* session) override;
    DWORD GetActiveConsoleSessionId() override { return consoleSessionId; }
    bool QueryClientProtocol(USHORT* protocol) override;
    bool QueryConnectState(WTS_CONNECTSTATE_CLASS* state) override;
    bool QueryUserName(std::string* name) override;
    BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) override;
    std::wstring HostExecutablePath() override { return hostPath; }
    void TerminateOwnProcess(UINT exitCode) override;
    platform::PrivateNamespaceApi GetPrivateNamespaceApi() override;
    ULONG EventRegister(const GUID& provider, REGHANDLE* handle) override;
    ULONG EventWrite(REGHANDLE handle, const EVENT_DESCRIPTOR& descriptor, ULONG count,
                     EVENT_DATA_DESCRIPTOR* data) override;
    ULONG EventUnregister(REGHANDLE handle) override;

    // --- Logon buffers ---
    // ProtectCredential answers in the simulation's reversible form (platform/sim/SimProtectedForm.h)
    // with the size-query contract of CredProtectW.
    DWORD protectError = 0;               // non-zero: every call fails with it
    DWORD protectFillError = 0;           // non-zero: the call with a big enough buffer fails with it
    bool protectSizeQuerySucceeds = false;  // the call without a buffer answers TRUE (a broken system)
    std::atomic<int> protectCalls{0};
    std::vector<BOOL> protectAsSelf;      // per call
    std::vector<bool> protectTypeRequested;  // per call: a protection type pointer was passed
    // LookupAuthenticationPackage: ids by exact name (the simulation's table to start with);
    // an unknown name fails with STATUS_NO_SUCH_PACKAGE, packageLookupStatus fails every lookup.
    std::map<std::string, ULONG> packageIds{
        {"Negotiate", 0}, {"NTLM", 1}, {"Kerberos", 2}, {"CloudAP", 4}, {"LUMO_AUTHENTICATION_PACKAGE_V1_0", 7}};
    NTSTATUS packageLookupStatus = 0;
    std::vector<std::string> packageLookups;
    BOOL ProtectCredential(BOOL asSelf, const wchar_t* credentials, DWORD credentialsChars,
                           wchar_t* protectedCredentials, DWORD* protectedChars,
                           CRED_PROTECTION_TYPE* protectionType) override;
    NTSTATUS LookupAuthenticationPackage(const char* packageName, ULONG* packageId) override;
    // --- End of logon buffers ---

    // Refusal: the message boxes shown and the disconnects asked for.
    std::vector<std::wstring> messageBoxTexts;
    std::vector<std::wstring> messageBoxCaptions;
    std::vector<UINT> messageBoxStyles;
    std::atomic<int> disconnects{0};
    int ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT style) override;
    bool DisconnectCurrentSession(bool wait) override;

    bool WriteEventLogEntry(WORD type, WORD category, DWORD eventId, const std::wstring& text) override;
    std::vector<ReportedEvent> Events();

    SECURITY_STATUS SspiAcquireCredentials(const wchar_t* package, ULONG use, PCredHandle credential,
                                           PTimeStamp expiry) override {
        return securityPackage.AcquireCredentials(package, use, credential, expiry);
    }
    SECURITY_STATUS SspiInitializeContext(PCredHandle credential, PCtxtHandle context, const wchar_t* target,
                                          ULONG flags, PSecBufferDesc input, PCtxtHandle newContext,
                                          PSecBufferDesc output, ULONG* attributes, PTimeStamp expiry) override {
        return securityPackage.InitializeContext(credential, context, target, flags, input, newContext, output,
                                                 attributes, expiry);
    }
    SECURITY_STATUS SspiAcceptContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input, ULONG flags,
                                      PCtxtHandle newContext, PSecBufferDesc output, ULONG* attributes,
                                      PTimeStamp expiry) override {
        return securityPackage.AcceptContext(credential, context, input, flags, newContext, output, attributes, expiry);
    }
    SECURITY_STATUS SspiQueryContextAttributes(PCtxtHandle context, ULONG attribute, void* buffer) override {
        return securityPackage.QueryContextAttributes(context, attribute, buffer);
    }
    SECURITY_STATUS SspiEncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG seq) override {
        return securityPackage.EncryptMessage(context, qop, message, seq);
    }
    SECURITY_STATUS SspiDecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG seq, ULONG* qop) override {
        return securityPackage.DecryptMessage(context, message, seq, qop);
    }
    SECURITY_STATUS SspiDeleteContext(PCtxtHandle context) override { return securityPackage.DeleteContext(context); }
    SECURITY_STATUS SspiFreeCredentials(PCredHandle credential) override {
        return securityPackage.FreeCredentials(credential);
    }
    SECURITY_STATUS SspiFreeContextBuffer(void* buffer) override { return securityPackage.FreeContextBuffer(buffer); }
    bool GetMachineDnsNames(std::wstring* host, std::wstring* domain) override {
        *host = dnsHost;
        *domain = dnsDomain;
        return true;
    }
    std::wstring NodeManagerInstance() override { return nodeManagerInstance; }
    bool ProcessUserSid(DWORD processId, std::wstring* sid) override {
        if (!processSid.empty()) *sid = processSid;
        return !processSid.empty() || platform::ReadProcessUserSid(processId, sid);
    }
    // Empty: every account may run the node manager (the tests' own user does).
    bool IsNodeManagerAccount(const std::wstring& sid) override {
        return nodeManagerAccount.empty() || sid == nodeManagerAccount;
    }
    RPC_STATUS SecureNodeManagerBinding(RPC_BINDING_HANDLE) override {
        ++securedBindings;
        return secureBindingResult;
    }
    bool ConsumeKeyVaultNotReadyCall() override {
        for (int left = keyVaultNotReadyCalls.load(); left > 0;)
            if (keyVaultNotReadyCalls.compare_exchange_weak(left, left - 1)) return true;
        return false;
    }

    // Facts of common systems.
    void SetWindows10Workstation();
    void SetServer2019Rds();

private:
    platform::IPlatform* previous_ = nullptr;
    size_t connectStateIndex_ = 0;
};

}  // namespace testsupport
