// The scriptable seam for unit tests: answers come from public fields, and every action the
// code under test asks for is recorded. Installing it replaces the process-wide instance
// until it is destroyed.
#pragma once
#include "platform/Platform.h"
#include "platform/VersionCheck.h"
#include "platform/testpkg/TestSecurityPackage.h"

#include <atomic>
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
    DWORD consoleSessionId = 1;
    USHORT clientProtocol = 2;
    DWORD clientProtocolError = 0;
    std::vector<WTS_CONNECTSTATE_CLASS> connectStates;  // consumed one per query; last one repeats
    DWORD connectStateError = 0;
    std::string userName;
    DWORD userNameError = 0;
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

    // --- Records ---
    std::atomic<int> terminateCalls{0};
    std::atomic<UINT> terminateExitCode{0};
    std::atomic<int> connectStateQueries{0};
    std::atomic<int> namespaceCalls{0};  // any call through the namespace API
    std::vector<std::wstring> openedEventNames;
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

    // Facts of common systems.
    void SetWindows10Workstation();
    void SetServer2019Rds();

private:
    platform::IPlatform* previous_ = nullptr;
    size_t connectStateIndex_ = 0;
};

}  // namespace testsupport
