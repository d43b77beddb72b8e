#include "SimPlatform.h"

#include "../Platform.h"
#include "../UniqueResource.h"
#include "../VersionCheck.h"
#include "SimProtectedForm.h"

#include "SimDescriptions.h"
#include "../testpkg/TestSecurityPackage.h"
#include "../cloudapsim/DataLsaClient.h"
#include "lib/json/Json.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <optional>
#include <vector>

namespace platform::sim {

std::wstring SimKeyPath() {
    wchar_t buffer[512];
    DWORD length = ::GetEnvironmentVariableW(L"TCFILTR_SIM_KEY", buffer, 512);
    if (length > 0 && length < 512) return std::wstring(buffer, length);
    return L"Software\\TcfiltrSim";
}

std::wstring NamespaceEventName(const wchar_t* nameInNamespace) {
    std::wstring name = L"TcfiltrSim.";
    for (const wchar_t* p = nameInNamespace; p && *p; ++p) name.push_back(*p == L'\\' ? L'.' : *p);
    return name;
}

namespace {

std::optional<DWORD> ReadDword(const wchar_t* value) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, SimKeyPath().c_str(), value, RRF_RT_REG_DWORD, &type,
                       &data, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return data;
}

std::optional<std::wstring> ReadString(const wchar_t* value) {
    DWORD size = 0;
    std::wstring key = SimKeyPath();
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_SZ, nullptr, nullptr,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_SZ, nullptr, data.data(),
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(data.data());
}

void Record(const wchar_t* value, DWORD data) {
    std::wstring key = SimKeyPath() + L"\\Record";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_DWORD, &data, sizeof(data));
}

void Record(const wchar_t* value, const std::wstring& text) {
    std::wstring key = SimKeyPath() + L"\\Record";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_SZ, text.c_str(),
                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void Increment(const wchar_t* value) {
    DWORD count = 0;
    DWORD size = sizeof(count);
    std::wstring key = SimKeyPath() + L"\\Record";
    ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &count, &size);
    Record(value, count + 1);
}

// Private namespaces: the boundary and the namespace are stand-in handles (events), and the
// events inside the namespace are ordinary named events.
HANDLE WINAPI SimCreateBoundary(LPCWSTR, ULONG) { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
BOOL WINAPI SimAddSid(HANDLE* boundary, PSID sid) { return boundary && *boundary && sid ? TRUE : FALSE; }
VOID WINAPI SimDeleteBoundary(HANDLE boundary) { ::CloseHandle(boundary); }
HANDLE WINAPI SimOpenNamespace(LPVOID boundary, LPCWSTR) {
    if (!boundary) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
BOOLEAN WINAPI SimCloseNamespace(HANDLE ns, ULONG) { return ::CloseHandle(ns) ? TRUE : FALSE; }
HANDLE WINAPI SimOpenEvent(DWORD access, BOOL inherit, LPCWSTR name) {
    HANDLE event = ::OpenEventW(access, inherit, NamespaceEventName(name).c_str());
    if (event && (access & EVENT_MODIFY_STATE)) {
        Increment(L"TesselSignalCount");
        Record(L"TesselLastEvent", name ? std::wstring(name) : std::wstring());
    }
    return event;
}

// --- Logon buffers ---
struct SimPackage {
    const char* name;
    ULONG id;
};
const SimPackage kSimPackages[] = {
    {"Negotiate", 0}, {"NTLM", 1}, {"Kerberos", 2}, {"CloudAP", 4}, {"LUMO_AUTHENTICATION_PACKAGE_V1_0", 7},
};
constexpr NTSTATUS kStatusNoSuchPackage = static_cast<NTSTATUS>(0xC00000FEL);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);

BOOL SimProtectCredential(const wchar_t* credentials, DWORD credentialsChars, wchar_t* out, DWORD* outChars,
                          CRED_PROTECTION_TYPE* protectionType) {
    if (auto error = ReadDword(L"CredProtectError")) {
        ::SetLastError(*error);
        return FALSE;
    }
    if (!outChars || (!credentials && credentialsChars)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Callers count the terminator in; it is not part of the text.
    size_t chars = credentials ? wcsnlen(credentials, credentialsChars) : 0;
    size_t needed = SimProtectedLength(chars) + 1;
    if (needed <= 1 || needed > MAXDWORD) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!out || *outChars < needed) {
        *outChars = static_cast<DWORD>(needed);
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SimProtect(credentials, chars, out);
    out[needed - 1] = L'\0';
    if (protectionType) *protectionType = CredUserProtection;
    return TRUE;
}

NTSTATUS SimLookupPackage(const char* packageName, ULONG* packageId) {
    if (!packageName || !packageId) return kStatusInvalidParameter;
    std::wstring name;
    for (const char* p = packageName; *p && name.size() < 256; ++p) name.push_back(static_cast<unsigned char>(*p));
    if (auto status = ReadDword((L"AuthPackageStatus." + name).c_str())) return static_cast<NTSTATUS>(*status);
    if (auto id = ReadDword((L"AuthPackage." + name).c_str())) {
        *packageId = *id;
        return 0;
    }
    for (const auto& package : kSimPackages) {
        if (_stricmp(package.name, packageName) == 0) {
            *packageId = package.id;
            return 0;
        }
    }
    return kStatusNoSuchPackage;
}
// --- End of logon buffers ---

class SimPlatform final : public IPlatform {
public:
    bool ProcessIdToSessionId(DWORD processId, DWORD* sessionId) override {
        if (auto value = ReadDword(L"SessionId")) {
            *sessionId = *value;
            return true;
        }
        return ::ProcessIdToSessionId(processId, sessionId) != FALSE;
    }
    DWORD GetActiveConsoleSessionId() override {
        if (auto value = ReadDword(L"ConsoleSessionId")) return *value;
        return ::WTSGetActiveConsoleSessionId();
    }
    bool QueryClientProtocol(USHORT* protocol) override {
        if (auto error = ReadDword(L"ClientProtocolError")) return Fail(*error);
        *protocol = static_cast<USHORT>(ReadDword(L"ClientProtocol").value_or(2));
        return true;
    }
    bool QueryConnectState(WTS_CONNECTSTATE_CLASS* state) override {
        if (auto error = ReadDword(L"ConnectStateError")) return Fail(*error);
        *state = static_cast<WTS_CONNECTSTATE_CLASS>(ReadDword(L"ConnectState").value_or(WTSActive));
        return true;
    }
    bool QueryUserName(std::string* userName) override {
        if (auto error = ReadDword(L"UserNameError")) return Fail(*error);
        userName->clear();
        if (auto name = ReadString(L"UserName"))
            for (wchar_t c : *name) userName->push_back(static_cast<char>(c < 0x80 ? c : '?'));
        return true;
    }
    BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) override {
        OsFacts facts;
        facts.major = ReadDword(L"OsMajor").value_or(facts.major);
        facts.minor = ReadDword(L"OsMinor").value_or(facts.minor);
        facts.build = ReadDword(L"OsBuild").value_or(facts.build);
        facts.productType = static_cast<BYTE>(ReadDword(L"OsProductType").value_or(facts.productType));
        facts.suiteMask = static_cast<WORD>(ReadDword(L"OsSuiteMask").value_or(facts.suiteMask));
        return EvaluateVersionCondition(facts, *info, typeMask, conditionMask);
    }
    std::wstring HostExecutablePath() override {
        if (auto path = ReadString(L"HostExecutable")) return *path;
        std::vector<wchar_t> path(2048);
        DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size() - 1));
        return std::wstring(path.data(), length);
    }
    void TerminateOwnProcess(UINT exitCode) override {
        Increment(L"TerminateCount");
        Record(L"TerminateExitCode", static_cast<DWORD>(exitCode));
        unique_handle self(::OpenProcess(PROCESS_TERMINATE, FALSE, ::GetCurrentProcessId()));
        if (self) ::TerminateProcess(self.get(), exitCode);
    }
    PrivateNamespaceApi GetPrivateNamespaceApi() override {
        PrivateNamespaceApi api;
        if (ReadDword(L"NamespaceApiMissing").value_or(0) != 0) return api;
        api.createBoundaryDescriptor = &SimCreateBoundary;
        api.addSidToBoundaryDescriptor = &SimAddSid;
        api.deleteBoundaryDescriptor = &SimDeleteBoundary;
        api.openPrivateNamespace = &SimOpenNamespace;
        api.closePrivateNamespace = &SimCloseNamespace;
        api.openEvent = &SimOpenEvent;
        return api;
    }
    ULONG EventRegister(const GUID&, REGHANDLE* handle) override {
        *handle = 0x5157;
        return ERROR_SUCCESS;
    }
    ULONG EventWrite(REGHANDLE, const EVENT_DESCRIPTOR& descriptor, ULONG count, EVENT_DATA_DESCRIPTOR* data) override {
        Increment(L"LogonMonitorEventCount");
        Record(L"LogonMonitorLastOpcode", static_cast<DWORD>(descriptor.Opcode));
        if (count >= 1 && data) {
            std::wstring key = SimKeyPath() + L"\\Record";
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"LogonMonitorLastEvent", REG_BINARY,
                              reinterpret_cast<const void*>(static_cast<ULONG_PTR>(data[0].Ptr)), data[0].Size);
        }
        return ERROR_SUCCESS;
    }
    ULONG EventUnregister(REGHANDLE) override { return ERROR_SUCCESS; }
    int ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT style) override {
        Increment(L"MessageBoxCount");
        Record(L"MessageBoxText", std::wstring(text ? text : L""));
        Record(L"MessageBoxCaption", std::wstring(caption ? caption : L""));
        Record(L"MessageBoxStyle", static_cast<DWORD>(style));
        return IDOK;
    }
    bool DisconnectCurrentSession(bool wait) override {
        Increment(L"DisconnectCount");
        Record(L"DisconnectWaited", static_cast<DWORD>(wait ? 1 : 0));
        return true;
    }

    // --- Logon buffers ---
    BOOL ProtectCredential(BOOL, const wchar_t* credentials, DWORD credentialsChars, wchar_t* protectedCredentials,
                           DWORD* protectedChars, CRED_PROTECTION_TYPE* protectionType) override {
        return SimProtectCredential(credentials, credentialsChars, protectedCredentials, protectedChars,
                                    protectionType);
    }
    NTSTATUS LookupAuthenticationPackage(const char* packageName, ULONG* packageId) override {
        return SimLookupPackage(packageName, packageId);
    }
    // --- End of logon buffers ---

    bool WriteEventLogEntry(WORD type, WORD category, DWORD eventId, const std::wstring& text) override {
        Increment(L"EventCount");
        Record(L"EventType", static_cast<DWORD>(type));
        Record(L"EventCategory", static_cast<DWORD>(category));
        Record(L"EventId", eventId);
        Record(L"EventText", text);
        return true;
    }

    ISecurityPackage& SecurityPackage() override { return package_; }
    // The described directory, else local accounts only, as Wine has them.
    IDirectory& Directory() override {
        static std::optional<dirsim::DataDirectory> described = [] {
            std::optional<dirsim::DataDirectory> directory;
            if (auto description = ReadDirectoryDescription()) {
                directory.emplace();
                static_cast<dirsim::DirectoryDescription&>(*directory) = std::move(*description);
            }
            return directory;
        }();
        if (described) return *described;
        return SystemDirectory();
    }
    // The described readers and cards; without a description there is no smart card service,
    // so a search ends at once with "service not running".
    ISmartCardService& SmartCardService() override {
        static cardsim::DataCardService cards(ReadCardDescription());
        return cards;
    }
    bool GetMachineDnsNames(std::wstring* host, std::wstring* domain) override {
        wchar_t buffer[256];
        DWORD size = 256;
        *host = ::GetComputerNameExW(ComputerNameDnsHostname, buffer, &size) ? std::wstring(buffer, size) : L"";
        if (auto value = ReadString(L"MachineDnsHost")) *host = *value;
        *domain = ReadString(L"MachineDnsDomain").value_or(L"");
        return true;
    }
    std::wstring NodeManagerInstance() override { return ReadString(L"NodeManagerInstance").value_or(L""); }
    bool ProcessUserSid(DWORD processId, std::wstring* sid) override { return ReadProcessUserSid(processId, sid); }
    // Under Wine every process runs as the one user: the simulation lets that user stand for
    // LocalSystem unless "NodeManagerAccountSid" names another account.
    bool IsNodeManagerAccount(const std::wstring& sid) override {
        if (sid == kLocalSystemSid) return true;
        if (std::optional<std::wstring> account = ReadString(L"NodeManagerAccountSid")) return sid == *account;
        std::wstring own;
        return ReadProcessUserSid(::GetCurrentProcessId(), &own) && sid == own;
    }
    // Wine's RPC runtime cannot authenticate ncalrpc calls: the request is only recorded.
    RPC_STATUS SecureNodeManagerBinding(RPC_BINDING_HANDLE) override {
        Record(L"NodeManagerBindingSecured", 1);
        return RPC_S_OK;
    }
    // Without "AadJoinType" the real call answers (Wine lacks it: not joined).
    HRESULT GetAadJoinInformation(AadJoinInfo* info, bool* present) override {
        if (auto error = ReadDword(L"AadJoinError")) return static_cast<HRESULT>(*error);
        std::optional<DWORD> joinType = ReadDword(L"AadJoinType");
        if (!joinType) return ReadAadJoinInformation(info, present);
        *info = AadJoinInfo{*joinType, ReadString(L"AadDeviceId"), ReadString(L"AadUserEmail"),
                            ReadString(L"AadJoinUserEmail")};
        *present = true;
        return S_OK;
    }
    // The real library's name unless "CloudAuthLibrary" names a stand-in (Wine's has no such calls).
    // No mutual authentication under Wine: the string form of the same endpoint.
    RPC_STATUS CreateEntraRpcBinding(const std::wstring& endpoint, RPC_BINDING_HANDLE* binding) override {
        return ComposeLocalRpcBinding(endpoint, binding);
    }
    RPC_STATUS BindEntraRpc(RPC_BINDING_HANDLE, RPC_IF_HANDLE) override { return RPC_S_OK; }
    std::wstring CloudAuthLibrary() override { return ReadString(L"CloudAuthLibrary").value_or(L"wtsapi32.dll"); }
    // A CloudAP package answering the nonce call with "CloudApNonce" (only when described) and the
    // assertion call with "CloudApAuthBuffer" (base64), or else with a credential made from the
    // assertion (DataLsaClient::kBlobPrefix and the assertion).
    ILsaClient& Lsa() override {
        static cloudapsim::DataLsaClient lsa;
        static std::once_flag described;
        std::call_once(described, [this] {
            auto ascii = [](const std::wstring& text) {
                std::string out;
                for (wchar_t c : text) out.push_back(static_cast<char>(c < 0x80 ? c : '?'));
                return out;
            };
            if (auto nonce = ReadString(L"CloudApNonce"))
                lsa.answers[9] = json::Stringify(json::Json{{"ts_nonce", ascii(*nonce)}});
            if (auto buffer = ReadString(L"CloudApAuthBuffer"))
                lsa.answers[10] = json::Stringify(json::Json{{"authbuffer", ascii(*buffer)}});
            lsa.blobFromAssertion = true;
        });
        return lsa;
    }
    bool ConsumeKeyVaultNotReadyCall() override {
        std::optional<DWORD> left = ReadDword(L"KeyVaultNotReadyCalls");
        if (!left || *left == 0) return false;
        DWORD lowered = *left - 1;
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, SimKeyPath().c_str(), L"KeyVaultNotReadyCalls", REG_DWORD, &lowered,
                          sizeof(lowered));
        return true;
    }

private:
    testpkg::TestSecurityPackage package_;

    static bool Fail(DWORD error) {
        SetLastError(error);
        return false;
    }
};

}  // namespace

}  // namespace platform::sim

namespace platform {
IPlatform& DefaultPlatform() {
    static sim::SimPlatform instance;
    return instance;
}
}  // namespace platform
