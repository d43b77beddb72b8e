// The scriptable seam for unit tests: answers come from public fields, and every action the
// code under test asks for is recorded. Installing it replaces the process-wide instance
// until it is destroyed.
#pragma once
#include "platform/Platform.h"
#include "platform/VersionCheck.h"

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

    // --- Records ---
    std::atomic<int> terminateCalls{0};
    std::atomic<UINT> terminateExitCode{0};
    std::atomic<int> connectStateQueries{0};
    std::atomic<int> namespaceCalls{0};  // any call through the namespace API
    std::vector<std::wstring> openedEventNames;
    struct ReportedEvent {
        WORD type;
        WORD category;
        DWORD id;
        std::wstring text;
    };
    std::vector<ReportedEvent> events;  // guarded by lock
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
    bool WriteEventLogEntry(WORD type, WORD category, DWORD eventId, const std::wstring& text) override;
    std::vector<ReportedEvent> Events();

    // Facts of common systems.
    void SetWindows10Workstation();
    void SetServer2019Rds();

private:
    platform::IPlatform* previous_ = nullptr;
    size_t connectStateIndex_ = 0;
};

}  // namespace testsupport
