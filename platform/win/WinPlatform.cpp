// The real operating system behind the seam: what the product DLL links.
#include "../Platform.h"
#include "../UniqueResource.h"

#include <ntsecapi.h>
#include <wincred.h>
#include <wtsapi32.h>

#include <cstring>
#include <string>

#include <mutex>
#include <vector>

namespace platform {

ISmartCardService& RealSmartCardService();  // WinSmartCardService.cpp
ILsaClient& RealLsaClient();                // WinLsaClient.cpp

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

// secur32 behind the seam; every call fails as "no package" where the table cannot be had.
class SecurPackage final : public ISecurityPackage {
public:
    SECURITY_STATUS AcquireCredentials(const wchar_t* package, ULONG use, PCredHandle credential,
                                       PTimeStamp expiry) override {
        auto* t = Sspi();
        if (!t) return SEC_E_SECPKG_NOT_FOUND;
        return t->AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(package), use, nullptr, nullptr, nullptr,
                                            nullptr, credential, expiry);
    }
    SECURITY_STATUS InitializeContext(PCredHandle credential, PCtxtHandle context, const wchar_t* target,
                                      ULONG flags, PSecBufferDesc input, PCtxtHandle newContext,
                                      PSecBufferDesc output, ULONG* attributes, PTimeStamp expiry) override {
        auto* t = Sspi();
        if (!t) return SEC_E_SECPKG_NOT_FOUND;
        return t->InitializeSecurityContextW(credential, context, const_cast<wchar_t*>(target), flags, 0,
                                             SECURITY_NATIVE_DREP, input, 0, newContext, output, attributes, expiry);
    }
    SECURITY_STATUS AcceptContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input, ULONG flags,
                                  PCtxtHandle newContext, PSecBufferDesc output, ULONG* attributes,
                                  PTimeStamp expiry) override {
        auto* t = Sspi();
        if (!t) return SEC_E_SECPKG_NOT_FOUND;
        return t->AcceptSecurityContext(credential, context, input, flags, SECURITY_NATIVE_DREP, newContext, output,
                                        attributes, expiry);
    }
    SECURITY_STATUS QueryContextAttributes(PCtxtHandle context, ULONG attribute, void* buffer) override {
        auto* t = Sspi();
        return t ? t->QueryContextAttributesW(context, attribute, buffer) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS EncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG seq) override {
        auto* t = Sspi();
        return t ? t->EncryptMessage(context, qop, message, seq) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG seq, ULONG* qop) override {
        auto* t = Sspi();
        return t ? t->DecryptMessage(context, message, seq, qop) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS DeleteContext(PCtxtHandle context) override {
        auto* t = Sspi();
        return t ? t->DeleteSecurityContext(context) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS FreeCredentials(PCredHandle credential) override {
        auto* t = Sspi();
        return t ? t->FreeCredentialsHandle(credential) : SEC_E_SECPKG_NOT_FOUND;
    }
    SECURITY_STATUS FreeContextBuffer(void* buffer) override {
        auto* t = Sspi();
        return t ? t->FreeContextBuffer(buffer) : SEC_E_SECPKG_NOT_FOUND;
    }
};

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

// --- Logon buffers ---
// An untrusted LSA connection, deregistered however the lookup ends.
TC_DEFINE_UNIQUE(unique_lsa_connection, HANDLE, nullptr, ::LsaDeregisterLogonProcess(value));

NTSTATUS LookupPackage(const char* packageName, ULONG* packageId) {
    constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
    if (!packageName || !packageId) return kInvalidParameter;
    size_t length = strnlen(packageName, 0xFFFF);
    if (length >= 0xFFFF) return kInvalidParameter;  // MaximumLength counts the terminator too
    // The lookup takes a writable name; hand it a copy.
    std::string name(packageName, length);
    unique_lsa_connection lsa;
    NTSTATUS status = ::LsaConnectUntrusted(lsa.put());
    if (status != 0) return status;
    LSA_STRING lsaName;
    lsaName.Buffer = name.data();
    lsaName.Length = static_cast<USHORT>(length);
    lsaName.MaximumLength = static_cast<USHORT>(length + 1);
    ULONG id = 0;
    status = ::LsaLookupAuthenticationPackage(lsa.get(), &lsaName, &id);
    if (status == 0) *packageId = id;
    return status;
}
// --- End of logon buffers ---

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
    ULONG EventRegister(const GUID& provider, REGHANDLE* handle) override {
        return ::EventRegister(&provider, nullptr, nullptr, handle);
    }
    ULONG EventWrite(REGHANDLE handle, const EVENT_DESCRIPTOR& descriptor, ULONG count,
                     EVENT_DATA_DESCRIPTOR* data) override {
        return ::EventWrite(handle, &descriptor, count, data);
    }
    ULONG EventUnregister(REGHANDLE handle) override { return ::EventUnregister(handle); }
    int ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT style) override {
        return ::MessageBoxW(nullptr, text, caption, style);
    }
    bool DisconnectCurrentSession(bool wait) override {
        return ::WTSDisconnectSession(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, wait ? TRUE : FALSE) != FALSE;
    }

    // --- Logon buffers ---
    BOOL ProtectCredential(BOOL asSelf, const wchar_t* credentials, DWORD credentialsChars,
                           wchar_t* protectedCredentials, DWORD* protectedChars,
                           CRED_PROTECTION_TYPE* protectionType) override {
        // The API's input pointer is not const, but it only reads the text.
        return ::CredProtectW(asSelf, const_cast<LPWSTR>(credentials), credentialsChars, protectedCredentials,
                              protectedChars, protectionType);
    }
    NTSTATUS LookupAuthenticationPackage(const char* packageName, ULONG* packageId) override {
        return LookupPackage(packageName, packageId);
    }
    // --- End of logon buffers ---

    bool WriteEventLogEntry(WORD type, WORD category, DWORD eventId, const std::wstring& text) override {
        std::lock_guard<std::mutex> guard(eventLock_);
        // Registered once and kept: every report would otherwise cost a round trip to the service.
        if (!eventSource_) eventSource_ = ::RegisterEventSourceW(nullptr, L"Velmora Zephral");
        if (!eventSource_) return false;
        if (!userSidRead_) {
            userSidRead_ = true;
            unique_handle token;
            DWORD size = 0;
            if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
                ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
                if (size > 0 && size <= 4096) {
                    userSid_.resize(size);
                    if (!::GetTokenInformation(token.get(), TokenUser, userSid_.data(), size, &size))
                        userSid_.clear();
                }
            }
        }
        PSID sid = userSid_.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(userSid_.data())->User.Sid;
        LPCWSTR strings[1] = {text.c_str()};
        return ::ReportEventW(eventSource_, type, category, eventId, sid, 1, 0, strings, nullptr) != FALSE;
    }

private:
    std::mutex eventLock_;
    HANDLE eventSource_ = nullptr;  // kept for the life of the process
    bool userSidRead_ = false;
    std::vector<BYTE> userSid_;  // TOKEN_USER

    IDirectory& Directory() override { return SystemDirectory(); }
    ISecurityPackage& SecurityPackage() override {
        static SecurPackage package;
        return package;
    }
    ISmartCardService& SmartCardService() override { return RealSmartCardService(); }
    bool GetMachineDnsNames(std::wstring* host, std::wstring* domain) override {
        return ReadComputerName(ComputerNameDnsHostname, host) && ReadComputerName(ComputerNameDnsDomain, domain);
    }
    std::wstring NodeManagerInstance() override { return std::wstring(); }
    bool ProcessUserSid(DWORD processId, std::wstring* sid) override { return ReadProcessUserSid(processId, sid); }
    bool IsNodeManagerAccount(const std::wstring& sid) override { return sid == kLocalSystemSid; }
    RPC_STATUS SecureNodeManagerBinding(RPC_BINDING_HANDLE binding) override {
        RPC_SECURITY_QOS qos = {RPC_C_SECURITY_QOS_VERSION, RPC_C_QOS_CAPABILITIES_MUTUAL_AUTH,
                                RPC_C_QOS_IDENTITY_STATIC, RPC_C_IMP_LEVEL_IDENTIFY};
        return ::RpcBindingSetAuthInfoExW(binding, reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"NT AUTHORITY\\SYSTEM")),
                                          RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_AUTHN_WINNT, nullptr,
                                          RPC_C_AUTHZ_NONE, &qos);
    }
    HRESULT GetAadJoinInformation(AadJoinInfo* info, bool* present) override {
        return ReadAadJoinInformation(info, present);
    }
    std::wstring CloudAuthLibrary() override { return L"wtsapi32.dll"; }
    RPC_STATUS CreateEntraRpcBinding(const std::wstring& endpoint, RPC_BINDING_HANDLE* binding) override;
    RPC_STATUS BindEntraRpc(RPC_BINDING_HANDLE binding, RPC_IF_HANDLE ifSpec) override;
    ILsaClient& Lsa() override { return RealLsaClient(); }
    bool ConsumeKeyVaultNotReadyCall() override { return false; }

private:
    static bool ReadComputerName(COMPUTER_NAME_FORMAT format, std::wstring* out) {
        wchar_t buffer[256];
        DWORD size = 256;
        if (!::GetComputerNameExW(format, buffer, &size)) return false;
        out->assign(buffer, size);
        return true;
    }
};

// Resolved at run time: older rpcrt4 builds (and Wine's) lack both, and the module must load there.
template <typename Fn>
Fn RpcRuntimeCall(const char* name) {
    HMODULE rpcrt4 = ::GetModuleHandleW(L"rpcrt4.dll");
    return rpcrt4 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(rpcrt4, name))) : nullptr;
}

RPC_STATUS WinPlatform::CreateEntraRpcBinding(const std::wstring& endpoint, RPC_BINDING_HANDLE* binding) {
    using CreateFn = RPC_STATUS(RPC_ENTRY*)(RPC_BINDING_HANDLE_TEMPLATE*, RPC_BINDING_HANDLE_SECURITY*,
                                            RPC_BINDING_HANDLE_OPTIONS*, RPC_BINDING_HANDLE*);
    static const CreateFn create = RpcRuntimeCall<CreateFn>("RpcBindingCreateW");
    if (!create) return RPC_S_CANNOT_SUPPORT;
    constexpr unsigned long kLocalRpc = 3;  // RPC_PROTSEQ_LRPC
    RPC_BINDING_HANDLE_TEMPLATE bindingTemplate{};
    bindingTemplate.Version = 1;
    bindingTemplate.ProtocolSequence = kLocalRpc;
    bindingTemplate.StringEndpoint = reinterpret_cast<unsigned short*>(const_cast<wchar_t*>(endpoint.c_str()));
    RPC_SECURITY_QOS qos = {RPC_C_SECURITY_QOS_VERSION, RPC_C_QOS_CAPABILITIES_MUTUAL_AUTH, RPC_C_QOS_IDENTITY_STATIC,
                            RPC_C_IMP_LEVEL_IDENTIFY};
    RPC_BINDING_HANDLE_SECURITY security{};
    security.Version = 1;
    security.ServerPrincName = reinterpret_cast<unsigned short*>(const_cast<wchar_t*>(L"NT AUTHORITY\\SYSTEM"));
    security.AuthnLevel = RPC_C_AUTHN_LEVEL_PKT_PRIVACY;
    security.AuthnSvc = RPC_C_AUTHN_WINNT;
    security.SecurityQos = &qos;
    return create(&bindingTemplate, &security, nullptr, binding);
}

RPC_STATUS WinPlatform::BindEntraRpc(RPC_BINDING_HANDLE binding, RPC_IF_HANDLE ifSpec) {
    using BindFn = RPC_STATUS(RPC_ENTRY*)(PRPC_ASYNC_STATE, RPC_BINDING_HANDLE, RPC_IF_HANDLE);
    static const BindFn bind = RpcRuntimeCall<BindFn>("RpcBindingBind");
    return bind ? bind(nullptr, binding, ifSpec) : RPC_S_CANNOT_SUPPORT;
}

}  // namespace

IPlatform& DefaultPlatform() {
    static WinPlatform instance;
    return instance;
}

}  // namespace platform
