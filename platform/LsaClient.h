// The LSA calls of the CloudAP road, with the semantics of their secur32 namesakes. Wine's LSA
// knows no CloudAP package, so tests and the simulation answer them from data
// (platform/cloudapsim); the product calls the real LSA (platform/win).
#pragma once
#include <windows.h>
#include <ntsecapi.h>

namespace platform {

class ILsaClient {
public:
    virtual ~ILsaClient() = default;

    virtual NTSTATUS ConnectUntrusted(HANDLE* lsa) = 0;
    // The narrow package name ("CloudAP", "Negotiate").
    virtual NTSTATUS LookupAuthenticationPackage(HANDLE lsa, const char* packageName, ULONG* packageId) = 0;
    // The answer is freed with FreeReturnBuffer.
    virtual NTSTATUS CallAuthenticationPackage(HANDLE lsa, ULONG packageId, const void* submit, ULONG submitBytes,
                                               void** answer, ULONG* answerBytes, NTSTATUS* protocolStatus) = 0;
    // A logon with this process's token source; the profile is freed with FreeReturnBuffer,
    // the token with CloseHandle.
    virtual NTSTATUS LogonUser(HANDLE lsa, const char* originName, SECURITY_LOGON_TYPE logonType, ULONG packageId,
                               const void* authentication, ULONG authenticationBytes, void** profile,
                               ULONG* profileBytes, HANDLE* token, NTSTATUS* subStatus) = 0;
    virtual NTSTATUS FreeReturnBuffer(void* buffer) = 0;
    virtual NTSTATUS DeregisterLogonProcess(HANDLE lsa) = 0;
};

}  // namespace platform
