// The SSPI calls the message channel makes, with the semantics of their secur32 namesakes.
// Wine completes no SSPI handshake, so the test and simulation builds answer them with a
// small package of their own (platform/testpkg) under the names "Negotiate", "Kerberos" and
// "NTLM". Output tokens are always allocated by the package (ISC_REQ_ALLOCATE_MEMORY /
// ASC_REQ_ALLOCATE_MEMORY) and freed with FreeContextBuffer.
#pragma once
#include <windows.h>

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

namespace platform {

class ISecurityPackage {
public:
    virtual ~ISecurityPackage() = default;

    virtual SECURITY_STATUS AcquireCredentials(const wchar_t* package, ULONG credentialUse, PCredHandle credential,
                                               PTimeStamp expiry) = 0;
    virtual SECURITY_STATUS InitializeContext(PCredHandle credential, PCtxtHandle context, const wchar_t* targetName,
                                              ULONG requestFlags, PSecBufferDesc input, PCtxtHandle newContext,
                                              PSecBufferDesc output, ULONG* contextAttributes, PTimeStamp expiry) = 0;
    virtual SECURITY_STATUS AcceptContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                                          ULONG requestFlags, PCtxtHandle newContext, PSecBufferDesc output,
                                          ULONG* contextAttributes, PTimeStamp expiry) = 0;
    virtual SECURITY_STATUS QueryContextAttributes(PCtxtHandle context, ULONG attribute, void* buffer) = 0;
    virtual SECURITY_STATUS EncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message,
                                           ULONG sequence) = 0;
    virtual SECURITY_STATUS DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG sequence,
                                           ULONG* qop) = 0;
    virtual SECURITY_STATUS DeleteContext(PCtxtHandle context) = 0;
    virtual SECURITY_STATUS FreeCredentials(PCredHandle credential) = 0;
    virtual SECURITY_STATUS FreeContextBuffer(void* buffer) = 0;
};

}  // namespace platform
