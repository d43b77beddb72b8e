#include "FakePlatform.h"

namespace testsupport {
namespace {

FakePlatform* g_fake = nullptr;

HANDLE WINAPI FakeCreateBoundary(LPCWSTR, ULONG) {
    ++g_fake->namespaceCalls;
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
BOOL WINAPI FakeAddSid(HANDLE* boundary, PSID sid) {
    ++g_fake->namespaceCalls;
    return boundary && *boundary && sid && ::IsValidSid(sid) ? TRUE : FALSE;
}
VOID WINAPI FakeDeleteBoundary(HANDLE boundary) {
    ++g_fake->namespaceCalls;
    ::CloseHandle(boundary);
}
HANDLE WINAPI FakeOpenNamespace(LPVOID boundary, LPCWSTR) {
    ++g_fake->namespaceCalls;
    if (!boundary || g_fake->openPrivateNamespaceFails) {
        ::SetLastError(g_fake->openPrivateNamespaceError);
        return nullptr;
    }
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
BOOLEAN WINAPI FakeCloseNamespace(HANDLE ns, ULONG) {
    ++g_fake->namespaceCalls;
    return ::CloseHandle(ns) ? TRUE : FALSE;
}
HANDLE WINAPI FakeOpenEvent(DWORD access, BOOL inherit, LPCWSTR name) {
    ++g_fake->namespaceCalls;
    std::wstring mapped = g_fake->namespaceEventPrefix;
    for (const wchar_t* p = name; p && *p; ++p) mapped.push_back(*p == L'\\' ? L'.' : *p);
    {
        std::lock_guard<std::mutex> guard(g_fake->lock);
        g_fake->openedEventNames.push_back(name ? name : L"");
    }
    return ::OpenEventW(access, inherit, mapped.c_str());
}

}  // namespace

FakePlatform::FakePlatform() {
    namespaceEventPrefix = L"TcfiltrTest." + std::to_wstring(::GetCurrentProcessId()) + L".";
    nodeManagerInstance = L"test" + std::to_wstring(::GetCurrentProcessId());
    SetWindows10Workstation();
    g_fake = this;
    previous_ = platform::Set(this);
}

FakePlatform::~FakePlatform() {
    platform::Set(previous_);
    g_fake = nullptr;
}

bool FakePlatform::ProcessIdToSessionId(DWORD, DWORD* session) {
    if (sessionIdError) {
        ::SetLastError(sessionIdError);
        return false;
    }
    *session = sessionId;
    return true;
}

bool FakePlatform::QueryClientProtocol(USHORT* protocol) {
    if (clientProtocolError) {
        ::SetLastError(clientProtocolError);
        return false;
    }
    *protocol = clientProtocol;
    return true;
}

bool FakePlatform::QueryConnectState(WTS_CONNECTSTATE_CLASS* state) {
    ++connectStateQueries;
    if (connectStateError) {
        ::SetLastError(connectStateError);
        return false;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (connectStates.empty()) {
        *state = WTSActive;
        return true;
    }
    *state = connectStates[connectStateIndex_ < connectStates.size() ? connectStateIndex_ : connectStates.size() - 1];
    ++connectStateIndex_;
    return true;
}

bool FakePlatform::QueryUserName(std::string* name) {
    if (userNameError) {
        ::SetLastError(userNameError);
        return false;
    }
    std::lock_guard<std::mutex> guard(lock);
    *name = userName;
    return true;
}

BOOL FakePlatform::VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) {
    return platform::EvaluateVersionCondition(os, *info, typeMask, conditionMask);
}

void FakePlatform::TerminateOwnProcess(UINT exitCode) {
    terminateExitCode = exitCode;
    ++terminateCalls;
}

platform::PrivateNamespaceApi FakePlatform::GetPrivateNamespaceApi() {
    platform::PrivateNamespaceApi api;
    if (!namespaceApiPresent) return api;
    api.createBoundaryDescriptor = &FakeCreateBoundary;
    api.addSidToBoundaryDescriptor = &FakeAddSid;
    api.deleteBoundaryDescriptor = &FakeDeleteBoundary;
    api.openPrivateNamespace = &FakeOpenNamespace;
    api.closePrivateNamespace = &FakeCloseNamespace;
    api.openEvent = &FakeOpenEvent;
    return api;
}

void FakePlatform::SetWindows10Workstation() {
    os = platform::OsFacts{};
    os.major = 10;
    os.minor = 0;
    os.productType = VER_NT_WORKSTATION;
    os.suiteMask = VER_SUITE_SINGLEUSERTS;
}

void FakePlatform::SetServer2019Rds() {
    os = platform::OsFacts{};
    os.major = 10;
    os.minor = 0;
    os.build = 17763;
    os.productType = VER_NT_SERVER;
    os.suiteMask = VER_SUITE_TERMINAL;
}

}  // namespace testsupport
