#include "FakePlatform.h"

#include "platform/sim/SimProtectedForm.h"

#include <cwchar>

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
    WTS_CONNECTSTATE_CLASS next =
        connectStates[connectStateIndex_ < connectStates.size() ? connectStateIndex_ : connectStates.size() - 1];
    ++connectStateIndex_;
    if (next == kConnectStateQueryFails) {
        ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    *state = next;
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

ULONG FakePlatform::EventRegister(const GUID&, REGHANDLE* handle) {
    ++eventRegistrations;
    *handle = eventRegisterResult == ERROR_SUCCESS ? 0xE7E7 : 0;
    return eventRegisterResult;
}

ULONG FakePlatform::EventWrite(REGHANDLE, const EVENT_DESCRIPTOR& descriptor, ULONG count, EVENT_DATA_DESCRIPTOR* data) {
    WrittenEvent event{descriptor, {}};
    if (count >= 1 && data) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(static_cast<ULONG_PTR>(data[0].Ptr));
        event.data.assign(bytes, bytes + data[0].Size);
    }
    std::lock_guard<std::mutex> guard(lock);
    etwEvents.push_back(std::move(event));
    return ERROR_SUCCESS;
}

ULONG FakePlatform::EventUnregister(REGHANDLE) {
    ++eventUnregistrations;
    return ERROR_SUCCESS;
}

// --- Logon buffers ---
BOOL FakePlatform::ProtectCredential(BOOL asSelf, const wchar_t* credentials, DWORD credentialsChars,
                                     wchar_t* protectedCredentials, DWORD* protectedChars,
                                     CRED_PROTECTION_TYPE* protectionType) {
    ++protectCalls;
    {
        std::lock_guard<std::mutex> guard(lock);
        protectAsSelf.push_back(asSelf);
        protectTypeRequested.push_back(protectionType != nullptr);
    }
    if (protectError) {
        ::SetLastError(protectError);
        return FALSE;
    }
    if (!protectedChars || (!credentials && credentialsChars)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t chars = credentials ? wcsnlen(credentials, credentialsChars) : 0;
    size_t needed = platform::sim::SimProtectedLength(chars) + 1;
    if (!protectedCredentials || *protectedChars < needed) {
        if (protectSizeQuerySucceeds) return TRUE;
        *protectedChars = static_cast<DWORD>(needed);
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (protectFillError) {
        ::SetLastError(protectFillError);
        return FALSE;
    }
    platform::sim::SimProtect(credentials, chars, protectedCredentials);
    protectedCredentials[needed - 1] = L'\0';
    if (protectionType) *protectionType = CredUserProtection;
    return TRUE;
}

NTSTATUS FakePlatform::LookupAuthenticationPackage(const char* packageName, ULONG* packageId) {
    std::lock_guard<std::mutex> guard(lock);
    packageLookups.push_back(packageName ? packageName : "");
    if (packageLookupStatus != 0) return packageLookupStatus;
    auto found = packageName ? packageIds.find(packageName) : packageIds.end();
    if (found == packageIds.end()) return static_cast<NTSTATUS>(0xC00000FEL);
    *packageId = found->second;
    return 0;
}
// --- End of logon buffers ---

int FakePlatform::ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT style) {
    std::lock_guard<std::mutex> guard(lock);
    messageBoxTexts.push_back(text ? text : L"");
    messageBoxCaptions.push_back(caption ? caption : L"");
    messageBoxStyles.push_back(style);
    return IDOK;
}

bool FakePlatform::DisconnectCurrentSession(bool) {
    ++disconnects;
    return true;
}

bool FakePlatform::WriteEventLogEntry(WORD type, WORD category, DWORD eventId, const std::wstring& text) {
    if (reportEventFails) {
        ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    std::lock_guard<std::mutex> guard(lock);
    events.push_back({type, category, eventId, text});
    return true;
}

std::vector<FakePlatform::ReportedEvent> FakePlatform::Events() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
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
