// The ICredentialProviderFilter that LogonUI creates: keeps the module's provider out of
// scenarios without SSO, primes the credentials record, and checks the broker's ticket.
#pragma once
#include "platform/sdk/CredProv.h"

#include <atomic>

class credfilter final : public ICredentialProviderFilter {
public:
    credfilter() noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ICredentialProviderFilter
    STDMETHODIMP Filter(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags, GUID* rgclsidProviders,
                        BOOL* rgbAllow, DWORD cProviders) override;
    STDMETHODIMP UpdateRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsIn,
                                        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsOut) override;

private:
    ~credfilter();

    std::atomic<ULONG> refs_{1};
    ULONG seqno_;
};

HRESULT credfilter_CreateInstance(REFIID riid, void** ppv) noexcept;
