// The wtsapi32 cloud authentication calls (Windows 11 24H2 and later), which mingw's headers
// lack; resolved at run time.
#pragma once
#include <windows.h>

namespace platform::sdk {

using WTS_CLOUD_AUTH_HANDLE = HANDLE;

struct WTS_SERIALIZED_USER_CREDENTIAL {
    ULONG SerializationLength;
    BYTE* Serialization;
};

// WTS_TYPE_CLASS values for WTSFreeMemoryExW.
inline constexpr int kWTSTypeCloudAuthServerNonce = 3;
inline constexpr int kWTSTypeSerializedUserCredential = 4;

using WTSCloudAuthOpenFn = WTS_CLOUD_AUTH_HANDLE(WINAPI*)(const GUID* activityId);
using WTSCloudAuthCloseFn = void(WINAPI*)(WTS_CLOUD_AUTH_HANDLE handle);
using WTSCloudAuthGetServerNonceFn = BOOL(WINAPI*)(WTS_CLOUD_AUTH_HANDLE handle, PWSTR* serverNonce);
using WTSCloudAuthConvertAssertionToSerializedUserCredentialFn = BOOL(WINAPI*)(
    WTS_CLOUD_AUTH_HANDLE handle, PCSTR assertion, ULONG assertionLength, PCWSTR resourceId,
    WTS_SERIALIZED_USER_CREDENTIAL** userCredential);
using WTSCloudAuthNetworkLogonWithSerializedCredentialFn = BOOL(WINAPI*)(
    WTS_CLOUD_AUTH_HANDLE handle, WTS_SERIALIZED_USER_CREDENTIAL* userCredential, HANDLE* token);
using WTSCloudAuthDuplicateSerializedUserCredentialFn = BOOL(WINAPI*)(
    const WTS_SERIALIZED_USER_CREDENTIAL* userCredential, WTS_SERIALIZED_USER_CREDENTIAL** duplicate);
using WTSFreeMemoryExWFn = BOOL(WINAPI*)(int typeClass, PVOID memory, ULONG numberOfEntries);

}  // namespace platform::sdk
