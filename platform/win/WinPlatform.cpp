// The real operating system behind the seam: what the product DLL links.
#include "../Platform.h"
#include "../UniqueResource.h"

#include <wtsapi32.h>

#include <mutex>
#include <vector>

namespace platform {
namespace {

// secur32's function table, loaded on first use so hosts that never open a channel do not
// pay for it.
PSecurityFunctionTableW Sspi() {
    static PSecurityFunctionTableW table = [] {
        HMODULE secur32 = ::LoadLibraryW(L"secur32.dll");
        if (!secur32) return static_cast<PSecurityFunctionTableW>(nullptr);
        auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
            reinterpret_cast<void*>(::GetProcAddress(secur32, "InitSecurityInterfaceW")));
        return init ? init() : static_cast<PSecurityFunctionTableW>(nullptr);
    }();
    return table;
}

template <typename T>
bool QueryCurrentSession(WTS_INFO_CLASS infoClass, T* out) {
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, infoClass,
                                       &buffer, &bytes))
        return false;
    bool ok = buffer != nullptr && bytes >= sizeof(T);
    if (ok) *out = *reinterpret_cast<const T*>(buffer);
    if (buffer) ::WTSFreeMemory(buffer);
    if (!ok) SetLastError(ERROR_INVALID_DATA);
    return ok;
}

class WinPlatform final : public IPlatform {
public:
    bool ProcessIdToSessionId(DWORD processId, DWORD* sessionId) override {
        return ::ProcessIdToSessionId(processId, sessionId) != FALSE;
    }
    DWORD GetActiveConsoleSessionId() override { return ::WTSGetActiveConsoleSessionId(); }
    bool QueryClientProtocol(USHORT* protocol) override {
        return QueryCurrentSession(WTSClientProtocolType, protocol);
    }
    bool QueryConnectState(WTS_CONNECTSTATE_CLASS* state) override {
        INT value = 0;
        if (!QueryCurrentSession(WTSConnectState, &value)) return false;
        *state = static_cast<WTS_CONNECTSTATE_CLASS>(value);
        return true;
    }
    bool QueryUserName(std::string* userName) override {
        LPSTR buffer = nullptr;
        DWORD bytes = 0;
        if (!::WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                           WTSUserName, &buffer, &bytes))
            return false;
        userName->clear();
        if (buffer && bytes >= 2) userName->assign(buffer, strnlen(buffer, bytes));
        if (buffer) ::WTSFreeMemory(buffer);
        return true;
    }
    BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) override {
        return ::VerifyVersionInfoW(info, typeMask, conditionMask);
    }
    std::wstring HostExecutablePath() override {
        std::vector<wchar_t> path(2048);
        DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size() - 1));
        return std::wstring(path.data(), length);
    }
    void TerminateOwnProcess(UINT exitCode) override {
        unique_handle self(::OpenProcess(PROCESS_TERMINATE, FALSE, ::GetCurrentProcessId()));
        if (self) ::TerminateProcess(self.get(), exitCode);
    }
    PrivateNamespaceApi GetPrivateNamespaceApi() override {
        PrivateNamespaceApi api;
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        if (!kernel32) return api;
        auto resolve = [&](auto& slot, const char* name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
                reinterpret_cast<void*>(::GetProcAddress(kernel32, name)));
        };
        resolve(api.createBoundaryDescriptor, "CreateBoundaryDescriptorW");
        resolve(api.addSidToBoundaryDescriptor, "AddSIDToBoundaryDescriptor");
        resolve(api.deleteBoundaryDescriptor, "DeleteBoundaryDescriptor");
        resolve(api.openPrivateNamespace, "OpenPrivateNamespaceW");
        resolve(api.closePrivateNamespace, "ClosePrivateNamespace");
        api.openEvent = &::OpenEventW;
        return api;
    }

    SECURITY_STATUS SspiAcquireCredentials(const wchar_t* package, ULONG use, PCredHandle credential,
                                           PTimeStamp expiry) override {
        auto* t = Sspi();
        if (!t) return SEC_E_SECPKG_NOT_FOUND;
        return t->AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(package), use, nullptr, nullptr, nullptr,
                                            nullptr, credential, expiry);
    }
    SECURITY_STATUS SspiInitializeContext(PCredHandle credential, PCtxtHandle context, const wchar_t* target,
                                          ULONG flags, PSecBufferDesc input, PCtxtHandle newContext,
                                          PSecBufferDesc output, ULONG* attributes, PTimeStamp expiry) override {
        auto* t = Sspi();
        if (!t) return SEC_E_SECPKG_NOT_FOUND;
        return t->InitializeSecurityContextW(credential, context, const_cast<wchar_t*>(target), flags, 0,
                                             SECURITY_NATIVE_DREP, input, 0, newContext, output, attributes, expiry);
    }
    SECURITY_STATUS SspiAcceptContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input, ULONG flags,
                                      PCtxtHandle newContext, PSecBufferDesc output, ULONG* attributes,
                                      PTimeStamp expiry) override {
        auto* t = Sspi();
        if (!t) return SEC_E_SECPKG_NOT_FOUND;
        return t->AcceptSecurityContext(credential, context, input, flags, SECURITY_NATIVE_DREP, newContext, output,
                                        attributes, expiry);
    }
    SECURITY_STATUS SspiQueryContextAttributes(PCtxtHandle context, ULONG attribute, void* buffer) override {
        auto* t = Sspi();
        return t ? t->QueryContextAttributesW(context, attribute, buffer) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS SspiEncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG seq) override {
        auto* t = Sspi();
        return t ? t->EncryptMessage(context, qop, message, seq) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS SspiDecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG seq, ULONG* qop) override {
        auto* t = Sspi();
        return t ? t->DecryptMessage(context, message, seq, qop) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS SspiDeleteContext(PCtxtHandle context) override {
        auto* t = Sspi();
        return t ? t->DeleteSecurityContext(context) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS SspiFreeCredentials(PCredHandle credential) override {
        auto* t = Sspi();
        return t ? t->FreeCredentialsHandle(credential) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS SspiFreeContextBuffer(void* buffer) override {
        auto* t = Sspi();
        return t ? t->FreeContextBuffer(buffer) : SEC_E_SECPKG_NOT_FOUND;
    }
    bool GetMachineDnsNames(std::wstring* host, std::wstring* domain) override {
        return ReadComputerName(ComputerNameDnsHostname, host) && ReadComputerName(ComputerNameDnsDomain, domain);
    }
    std::wstring NodeManagerInstance() override { return std::wstring(); }

private:
    static bool ReadComputerName(COMPUTER_NAME_FORMAT format, std::wstring* out) {
        wchar_t buffer[256];
        DWORD size = 256;
        if (!::GetComputerNameExW(format, buffer, &size)) return false;
        out->assign(buffer, size);
        return true;
    }
};

}  // namespace

IPlatform& DefaultPlatform() {
    static WinPlatform instance;
    return instance;
}

}  // namespace platform
