// The ICredentialProvider that LogonUI creates: offers at most one tile, and decides when to
// tell LogonUI to enumerate again (first advise, agent signal, SSO retry, unlock).
#pragma once
#include "base/ComObject.h"
#include "base/ModuleRef.h"
#include "lib/mfw/common/threads/corecritsec.h"
#include "platform/sdk/CredProv.h"

#include <atomic>

class credprovider final : public ComObject<ICredentialProvider, IID_ICredentialProvider> {
public:
    credprovider() noexcept;

    // ICredentialProvider
    STDMETHODIMP SetUsageScenario(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags) override;
    STDMETHODIMP SetSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs) override;
    STDMETHODIMP Advise(ICredentialProviderEvents* pcpe, UINT_PTR upAdviseContext) override;
    STDMETHODIMP UnAdvise() override;
    STDMETHODIMP GetFieldDescriptorCount(DWORD* pdwCount) override;
    STDMETHODIMP GetFieldDescriptorAt(DWORD dwIndex, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppcpfd) override;
    STDMETHODIMP GetCredentialCount(DWORD* pdwCount, DWORD* pdwDefault, BOOL* pbAutoLogonWithDefault) override;
    STDMETHODIMP GetCredentialAt(DWORD dwIndex, ICredentialProviderCredential** ppcpc) override;

    // The re-enumeration decision; whole body under the provider lock.
    void DRV_EnumerateCredentials(bool fromCallback, bool explicitRequest) noexcept;

    ULONG SequenceNumber() const noexcept { return seqno_; }

private:
    ~credprovider();
    HRESULT RaiseCredentialsChanged() noexcept;
    // The steps of DRV_EnumerateCredentials, called under lock_.
    void SignalUnlockOnce() noexcept;
    void ReportTicketState(bool explicitRequest) noexcept;
    void RefreshCredentials(bool fromCallback) noexcept;

    ModuleReference moduleRef_;
    ULONG seqno_;
    ICredentialProviderEvents* events_ = nullptr;
    UINT_PTR adviseContext_ = 0;
    CORE::corecritsec lock_;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario_ = CPUS_INVALID;
    bool startRetryTimerOnNextTile_ = true;
    bool certSsoChangedFired_ = false;
    bool lastReportedHasCredentials_ = false;
};

HRESULT credprovider_CreateInstance(REFIID riid, void** ppv) noexcept;
// The callback registered with the OfflineChannel; context is the advised provider.
void ReEnumerateCredentialsCallback(IUnknown* context, bool explicitRequest) noexcept;
// Whether providers of this session register for re-enumeration (set at creation).
bool IsReEnumerationEnabled() noexcept;

// Tile field ids: the index of each field.
enum CredField : DWORD {
    kFieldUserLabel = 0,  // CPFT_LARGE_TEXT, label by SSO kind
    kFieldSubmit = 1,     // CPFT_SUBMIT_BUTTON "submit"
    kFieldCount = 2,
};
