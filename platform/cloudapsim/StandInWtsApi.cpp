// A stand-in for wtsapi32's cloud authentication calls, answering from the script its user (a test,
// or whoever drives the simulation) reaches through CloudAuthStandInControl. Built once with all
// six calls and once without WTSCloudAuthDuplicateSerializedUserCredential (TC_WITHOUT_DUPLICATE).
#include "StandInCloudAuth.h"

#include <cstring>

namespace {

CloudAuthScript g_script;

void Record() {
    LONG index = g_script.calls++;
    if (index < 64) g_script.callThreads[index] = ::GetCurrentThreadId();
}

BOOL Fail(DWORD error) { return ::SetLastError(error), FALSE; }

struct Credential {
    ULONG bytes;
    BYTE* data;
};

}  // namespace

extern "C" {

__declspec(dllexport) CloudAuthScript* __cdecl CloudAuthStandInControl() { return &g_script; }

__declspec(dllexport) HANDLE WINAPI WTSCloudAuthOpen(const GUID* activity) {
    Record();
    const LONG attempt = ++g_script.opens;
    if (g_script.openError) return ::SetLastError(g_script.openError), nullptr;
    g_script.lastActivity = *activity;
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1000 + attempt));
}

__declspec(dllexport) void WINAPI WTSCloudAuthClose(HANDLE) { Record(), ++g_script.closes; }

__declspec(dllexport) BOOL WINAPI WTSCloudAuthGetServerNonce(HANDLE, PWSTR* nonce) {
    Record();
    if (g_script.nonceError) return Fail(g_script.nonceError);
    *nonce = static_cast<PWSTR>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(g_script.nonce)));
    std::memcpy(*nonce, g_script.nonce, sizeof(g_script.nonce));
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSCloudAuthConvertAssertionToSerializedUserCredential(
    HANDLE, PCSTR assertion, ULONG bytes, PCWSTR resource, Credential** credential) {
    Record();
    std::memcpy(g_script.lastAssertion, assertion, bytes < 255 ? bytes : 255);
    if (!resource) return Fail(ERROR_INVALID_PARAMETER);
    if (g_script.convertError) return Fail(g_script.convertError);
    auto* out = static_cast<Credential*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(Credential) + 8));
    out->bytes = g_script.credentialBytes;
    out->data = reinterpret_cast<BYTE*>(out + 1);
    std::memcpy(out->data, g_script.credential, 8);
    *credential = out;
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSCloudAuthNetworkLogonWithSerializedCredential(HANDLE, Credential* credential,
                                                                                  HANDLE* token) {
    Record();
    g_script.lastLogonBytes = credential->bytes;
    if (g_script.logonError) return Fail(g_script.logonError);
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token);
}

#ifndef TC_WITHOUT_DUPLICATE
__declspec(dllexport) BOOL WINAPI WTSCloudAuthDuplicateSerializedUserCredential(const Credential*, Credential**) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
#endif

__declspec(dllexport) BOOL WINAPI WTSFreeMemoryExW(int, PVOID memory, ULONG) {
    Record(), ++g_script.frees;
    return ::HeapFree(::GetProcessHeap(), 0, memory);
}

}  // extern "C"
