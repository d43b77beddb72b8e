// The scriptable seam for unit tests: answers come from public fields, and every action the
// code under test asks for is recorded. It is the process-wide instance while it lives.
#pragma once
#include "platform/Platform.h"
#include "platform/VersionCheck.h"
#include "platform/cardsim/DataCardService.h"
#include "platform/cloudapsim/DataLsaClient.h"
#include "platform/testpkg/TestSecurityPackage.h"
#include "platform/dirsim/DataDirectory.h"
#include "platform/UniqueResource.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class FakePlatform : public platform::IPlatform {
    template <class T, class V>
    static bool Answer(DWORD error, T* out, const V& value) {
        if (error) ::SetLastError(error);
        else *out = value;
        return !error;
    }
    template <class Step>
    auto Locked(Step step) {
        std::lock_guard<std::mutex> guard(lock);
        return step();
    }
    platform::IPlatform* previous_ = nullptr;
    size_t connectStateIndex_ = 0;

public:
    FakePlatform();
    ~FakePlatform() override;

    // --- Answers; a non-zero *Error makes that query fail with it ---
    DWORD sessionId = 2, sessionIdError = 0;
    std::atomic<DWORD> consoleSessionId{1};
    USHORT clientProtocol = 2;
    DWORD clientProtocolError = 0;
    // Consumed one per query; the last one repeats. kConnectStateQueryFails makes that query fail.
    static constexpr WTS_CONNECTSTATE_CLASS kConnectStateQueryFails = static_cast<WTS_CONNECTSTATE_CLASS>(-1);
    std::vector<WTS_CONNECTSTATE_CLASS> connectStates;
    std::string userName;
    std::atomic<DWORD> userNameError{0};
    platform::OsFacts os;  // a Windows 10 workstation
    std::wstring hostPath = L"C:\\Windows\\System32\\LogonUI.exe";
    bool namespaceApiPresent = true, openPrivateNamespaceFails = false;
    DWORD openPrivateNamespaceError = ERROR_ACCESS_DENIED;
    // Events inside the namespace are the real named events "<prefix><name with '\' -> '.'>".
    std::wstring namespaceEventPrefix = L"TcfiltrTest." + std::to_wstring(::GetCurrentProcessId()) + L".";
    platform::testpkg::TestSecurityPackage securityPackage;  // channel authentication, steerable
    platform::dirsim::DataDirectory directory;  // account resolution, scripted
    platform::cardsim::DataCardService cardService{platform::cardsim::NoCardService()};  // Describe() readers
    std::wstring dnsDomain;  // empty: not in a domain, as under Wine
    // Of this process, so tests never meet another run's agentsim.
    std::wstring nodeManagerInstance = L"test" + std::to_wstring(::GetCurrentProcessId());
    // What every process runs as (empty: the real lookup), and the only account trusted (empty: any).
    std::wstring processSid, nodeManagerAccount;
    RPC_STATUS secureBindingResult = RPC_S_OK;
    std::atomic<int> keyVaultNotReadyCalls{0};  // key vault calls still to answer "not ready"
    ULONG eventRegisterResult = ERROR_SUCCESS;
    // ProtectCredential gives the simulation's reversible form with CredProtectW's size query.
    // Every call fails with protectError, the call with a big enough buffer with protectFillError.
    DWORD protectError = 0, protectFillError = 0;
    bool protectSizeQuerySucceeds = false;  // the call without a buffer answers TRUE (a broken system)
    // Ids by exact name; another name fails with STATUS_NO_SUCH_PACKAGE, packageLookupStatus every lookup.
    std::map<std::string, ULONG> packageIds{
        {"Negotiate", 0}, {"NTLM", 1}, {"Kerberos", 2}, {"CloudAP", 4}, {"LUMO_AUTHENTICATION_PACKAGE_V1_0", 7}};
    NTSTATUS packageLookupStatus = 0;
    // Entra join information: the HRESULT of the call, whether it gives any, and what it gives.
    HRESULT aadJoinResult = S_OK;
    bool aadJoinPresent = false;
    platform::AadJoinInfo aadJoin;
    // Cloud authentication: the library resolved (Wine's own lacks the calls) and the LSA's CloudAP.
    std::wstring cloudAuthLibrary = L"wtsapi32.dll";
    platform::cloudapsim::DataLsaClient lsa;

    // --- Records; the vectors are guarded by lock ---
    std::mutex lock;
    std::atomic<int> terminateCalls{0}, connectStateQueries{0}, namespaceCalls{0}, securedBindings{0};
    std::atomic<int> eventRegistrations{0}, eventUnregistrations{0}, protectCalls{0}, disconnects{0};
    std::atomic<UINT> terminateExitCode{0};
    std::vector<std::wstring> openedEventNames;
    struct WrittenEvent { EVENT_DESCRIPTOR descriptor; std::vector<BYTE> data; };  // ETW: the first data item
    std::vector<WrittenEvent> etwEvents;
    struct ReportedEvent { WORD type; WORD category; DWORD id; std::wstring text; };
    std::vector<ReportedEvent> events;  // the event log
    // Per ProtectCredential call: asSelf, and whether a protection type pointer was passed.
    std::vector<BOOL> protectAsSelf;
    std::vector<bool> protectTypeRequested;
    std::vector<std::string> packageLookups;
    std::vector<std::wstring> messageBoxTexts, messageBoxCaptions;
    std::vector<UINT> messageBoxStyles;

    std::vector<ReportedEvent> Events() { return Locked([&] { return events; }); }
    // The real event standing for "dravikndmg\NotReadyForTessel<session>", this fake's session by default.
    platform::unique_handle TesselEvent(DWORD session = kThisSession) const {
        const DWORD id = session == kThisSession ? sessionId : session;
        std::wstring name = namespaceEventPrefix + L"dravikndmg.NotReadyForTessel" + std::to_wstring(id);
        return platform::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    }
    static constexpr DWORD kThisSession = 0xFFFFFFFF;
    void SetWindows10Workstation() { os = platform::OsFacts{}; }
    void SetServer2019Rds() {
        os = platform::OsFacts{};
        os.build = 17763;
        os.productType = VER_NT_SERVER;
        os.suiteMask = VER_SUITE_TERMINAL;
    }

    // IPlatform
    bool ProcessIdToSessionId(DWORD, DWORD* id) override { return Answer(sessionIdError, id, sessionId); }
    DWORD GetActiveConsoleSessionId() override { return consoleSessionId; }
    bool QueryClientProtocol(USHORT* out) override { return Answer(clientProtocolError, out, clientProtocol); }
    bool QueryConnectState(WTS_CONNECTSTATE_CLASS* state) override;
    bool QueryUserName(std::string* name) override {
        return Locked([&] { return Answer(userNameError, name, userName); });
    }
    BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) override {
        return platform::EvaluateVersionCondition(os, *info, typeMask, conditionMask);
    }
    std::wstring HostExecutablePath() override { return hostPath; }
    void TerminateOwnProcess(UINT exitCode) override {
        terminateExitCode = exitCode;
        ++terminateCalls;
    }
    platform::PrivateNamespaceApi GetPrivateNamespaceApi() override;
    ULONG EventRegister(const GUID&, REGHANDLE* handle) override {
        ++eventRegistrations;
        *handle = eventRegisterResult == ERROR_SUCCESS ? 0xE7E7 : 0;
        return eventRegisterResult;
    }
    ULONG EventWrite(REGHANDLE, const EVENT_DESCRIPTOR& descriptor, ULONG count, EVENT_DATA_DESCRIPTOR* data) override;
    ULONG EventUnregister(REGHANDLE) override { return ++eventUnregistrations, ERROR_SUCCESS; }
    BOOL ProtectCredential(BOOL asSelf, const wchar_t* credentials, DWORD credentialsChars,
                           wchar_t* protectedCredentials, DWORD* protectedChars,
                           CRED_PROTECTION_TYPE* protectionType) override;
    NTSTATUS LookupAuthenticationPackage(const char* packageName, ULONG* packageId) override;
    int ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT style) override {
        Locked([&] {
            messageBoxTexts.push_back(text ? text : L"");
            messageBoxCaptions.push_back(caption ? caption : L"");
            messageBoxStyles.push_back(style);
        });
        return IDOK;
    }
    bool DisconnectCurrentSession(bool) override { return ++disconnects, true; }
    bool WriteEventLogEntry(WORD type, WORD category, DWORD id, const std::wstring& text) override {
        Locked([&] { events.push_back({type, category, id, text}); });
        return true;
    }
    platform::ISecurityPackage& SecurityPackage() override { return securityPackage; }
    platform::IDirectory& Directory() override { return directory; }
    platform::ISmartCardService& SmartCardService() override { return cardService; }
    bool GetMachineDnsNames(std::wstring* host, std::wstring* domain) override {
        *host = L"vdi-host";
        *domain = dnsDomain;
        return true;
    }
    std::wstring NodeManagerInstance() override { return nodeManagerInstance; }
    bool ProcessUserSid(DWORD processId, std::wstring* sid) override {
        if (!processSid.empty()) *sid = processSid;
        return !processSid.empty() || platform::ReadProcessUserSid(processId, sid);
    }
    bool IsNodeManagerAccount(const std::wstring& sid) override {
        return nodeManagerAccount.empty() || sid == nodeManagerAccount;
    }
    RPC_STATUS SecureNodeManagerBinding(RPC_BINDING_HANDLE) override { return ++securedBindings, secureBindingResult; }
    HRESULT GetAadJoinInformation(platform::AadJoinInfo* info, bool* present) override {
        *info = aadJoin;
        *present = SUCCEEDED(aadJoinResult) && aadJoinPresent;
        return aadJoinResult;
    }
    std::wstring CloudAuthLibrary() override { return cloudAuthLibrary; }
    RPC_STATUS CreateEntraRpcBinding(const std::wstring& endpoint, RPC_BINDING_HANDLE* binding) override {
        return platform::ComposeLocalRpcBinding(endpoint, binding);
    }
    RPC_STATUS BindEntraRpc(RPC_BINDING_HANDLE, RPC_IF_HANDLE) override { return RPC_S_OK; }
    platform::ILsaClient& Lsa() override { return lsa; }
    bool ConsumeKeyVaultNotReadyCall() override {
        for (int left = keyVaultNotReadyCalls.load(); left > 0;)
            if (keyVaultNotReadyCalls.compare_exchange_weak(left, left - 1)) return true;
        return false;
    }
};

inline bool IsSet(const platform::unique_handle& event) {
    return ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace testsupport
