// The ICredentialProviderFilter that LogonUI creates: keeps the module's provider out of
// scenarios without SSO, primes the credentials record, and checks the broker's ticket.
#pragma once
#include "base/ComObject.h"
#include "base/ModuleRef.h"
#include "platform/sdk/CredProv.h"

#include <atomic>
#include <string>

class credfilter final : public ComObject<ICredentialProviderFilter, IID_ICredentialProviderFilter> {
public:
    credfilter() noexcept;

    // ICredentialProviderFilter
    STDMETHODIMP Filter(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags, GUID* rgclsidProviders,
                        BOOL* rgbAllow, DWORD cProviders) override;
    STDMETHODIMP UpdateRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsIn,
                                        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsOut) override;

private:
    ~credfilter();
    HRESULT CheckRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsIn,
                                  CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsOut);

    ModuleReference moduleRef_;
    ULONG seqno_;
};

HRESULT credfilter_CreateInstance(REFIID riid, void** ppv) noexcept;

// Refuses an un-brokered connection: logs, shows the access-denied message and disconnects
// the session.
void DisplayError(const std::wstring& domain, const std::wstring& user);

// The system's remote logon filter, which supplies the remote credential when none was passed.
inline constexpr CLSID CLSID_RemoteLogonFilter = {
    0xf614806b, 0xce60, 0x40cd, {0x99, 0x0f, 0xe8, 0xe0, 0x7d, 0xf7, 0x9e, 0x49}};
