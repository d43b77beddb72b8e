#include "FakePlatform.h"

#include "platform/sim/SimProtectedForm.h"

#include <algorithm>
#include <cwchar>

namespace testsupport {
namespace {

FakePlatform* g_fake = nullptr;

// Boundaries and namespaces are plain event handles; every call is counted.
HANDLE NewHandle() { return ++g_fake->namespaceCalls, ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
BOOL Close(HANDLE handle) { return ++g_fake->namespaceCalls, ::CloseHandle(handle); }

HANDLE WINAPI FakeCreateBoundary(LPCWSTR, ULONG) { return NewHandle(); }
BOOL WINAPI FakeAddSid(HANDLE* boundary, PSID sid) {
    ++g_fake->namespaceCalls;
    return boundary && *boundary && sid && ::IsValidSid(sid) ? TRUE : FALSE;
}
VOID WINAPI FakeDeleteBoundary(HANDLE boundary) { Close(boundary); }
HANDLE WINAPI FakeOpenNamespace(LPVOID boundary, LPCWSTR) {
    if (boundary && !g_fake->openPrivateNamespaceFails) return NewHandle();
    ++g_fake->namespaceCalls;
    ::SetLastError(g_fake->openPrivateNamespaceError);
    return nullptr;
}
BOOLEAN WINAPI FakeCloseNamespace(HANDLE ns, ULONG) { return Close(ns) ? TRUE : FALSE; }
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
    g_fake = this;
    previous_ = platform::Set(this);
}

FakePlatform::~FakePlatform() {
    platform::Set(previous_);
    g_fake = nullptr;
}

bool FakePlatform::QueryConnectState(WTS_CONNECTSTATE_CLASS* state) {
    ++connectStateQueries;
    std::lock_guard<std::mutex> guard(lock);
    WTS_CONNECTSTATE_CLASS next = WTSActive;
    if (!connectStates.empty()) next = connectStates[std::min(connectStateIndex_++, connectStates.size() - 1)];
    return Answer(next == kConnectStateQueryFails ? RPC_S_SERVER_UNAVAILABLE : 0, state, next);
}

platform::PrivateNamespaceApi FakePlatform::GetPrivateNamespaceApi() {
    if (!namespaceApiPresent) return {};
    return {&FakeCreateBoundary, &FakeAddSid, &FakeDeleteBoundary, &FakeOpenNamespace, &FakeCloseNamespace,
            &FakeOpenEvent};
}

ULONG FakePlatform::EventWrite(REGHANDLE, const EVENT_DESCRIPTOR& descriptor, ULONG count, EVENT_DATA_DESCRIPTOR* in) {
    WrittenEvent event{descriptor, {}};
    if (count >= 1 && in) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(static_cast<ULONG_PTR>(in[0].Ptr));
        event.data.assign(bytes, bytes + in[0].Size);
    }
    Locked([&] { etwEvents.push_back(std::move(event)); });
    return ERROR_SUCCESS;
}

BOOL FakePlatform::ProtectCredential(BOOL asSelf, const wchar_t* credentials, DWORD credentialsChars,
                                     wchar_t* protectedCredentials, DWORD* protectedChars,
                                     CRED_PROTECTION_TYPE* protectionType) {
    ++protectCalls;
    Locked([&] {
        protectAsSelf.push_back(asSelf);
        protectTypeRequested.push_back(protectionType != nullptr);
    });
    DWORD error = protectError;
    if (!error && (!protectedChars || (!credentials && credentialsChars))) error = ERROR_INVALID_PARAMETER;
    if (error) return ::SetLastError(error), FALSE;
    size_t chars = credentials ? wcsnlen(credentials, credentialsChars) : 0;
    size_t needed = platform::sim::SimProtectedLength(chars) + 1;
    if (!protectedCredentials || *protectedChars < needed) {
        if (protectSizeQuerySucceeds) return TRUE;
        *protectedChars = static_cast<DWORD>(needed);
        return ::SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    }
    if (protectFillError) return ::SetLastError(protectFillError), FALSE;
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

}  // namespace testsupport
