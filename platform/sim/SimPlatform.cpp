#include "SimPlatform.h"

#include "../Platform.h"
#include "../UniqueResource.h"
#include "../VersionCheck.h"
#include "../testpkg/TestSecurityPackage.h"

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

    SECURITY_STATUS SspiAcquireCredentials(const wchar_t* package, ULONG use, PCredHandle credential,
                                           PTimeStamp expiry) override {
        return package_.AcquireCredentials(package, use, credential, expiry);
    }
    SECURITY_STATUS SspiInitializeContext(PCredHandle credential, PCtxtHandle context, const wchar_t* target,
                                          ULONG flags, PSecBufferDesc input, PCtxtHandle newContext,
                                          PSecBufferDesc output, ULONG* attributes, PTimeStamp expiry) override {
        return package_.InitializeContext(credential, context, target, flags, input, newContext, output, attributes,
                                          expiry);
    }
    SECURITY_STATUS SspiAcceptContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input, ULONG flags,
                                      PCtxtHandle newContext, PSecBufferDesc output, ULONG* attributes,
                                      PTimeStamp expiry) override {
        return package_.AcceptContext(credential, context, input, flags, newContext, output, attributes, expiry);
    }
    SECURITY_STATUS SspiQueryContextAttributes(PCtxtHandle context, ULONG attribute, void* buffer) override {
        return package_.QueryContextAttributes(context, attribute, buffer);
    }
    SECURITY_STATUS SspiEncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG seq) override {
        return package_.EncryptMessage(context, qop, message, seq);
    }
    SECURITY_STATUS SspiDecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG seq, ULONG* qop) override {
        return package_.DecryptMessage(context, message, seq, qop);
    }
    SECURITY_STATUS SspiDeleteContext(PCtxtHandle context) override { return package_.DeleteContext(context); }
    SECURITY_STATUS SspiFreeCredentials(PCredHandle credential) override { return package_.FreeCredentials(credential); }
    SECURITY_STATUS SspiFreeContextBuffer(void* buffer) override { return package_.FreeContextBuffer(buffer); }
    bool GetMachineDnsNames(std::wstring* host, std::wstring* domain) override {
        wchar_t buffer[256];
        DWORD size = 256;
        *host = ::GetComputerNameExW(ComputerNameDnsHostname, buffer, &size) ? std::wstring(buffer, size) : L"";
        if (auto value = ReadString(L"MachineDnsHost")) *host = *value;
        *domain = ReadString(L"MachineDnsDomain").value_or(L"");
        return true;
    }
    std::wstring NodeManagerInstance() override { return ReadString(L"NodeManagerInstance").value_or(L""); }

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
