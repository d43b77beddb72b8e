// What the credentials record and the tile need of an Entra ID SSO request in flight.
#pragma once
#include <windows.h>

class IEntraContext {
public:
    virtual ~IEntraContext() = default;
    // E_PENDING while the request runs; then its error, E_FAIL without an assertion, or S_OK.
    virtual HRESULT GetStatus() = 0;
    // Converts the assertion into a CloudAP logon buffer (CoTaskMemAlloc, the caller owns it).
    virtual HRESULT SerializeCredential(BYTE** buffer, ULONG* size) = 0;
    // Overwrites the assertion's characters, keeping its length.
    virtual void WipeAssertion() = 0;
};
