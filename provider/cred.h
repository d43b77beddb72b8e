// The tile (ICredentialProviderCredential) the provider hands out: one user label and a submit
// button, no input. It exists so LogonUI asks it for a serialization and reports the result.
#pragma once
#include "CredentialHandlers.h"

#include "base/ComObject.h"
#include "base/ModuleRef.h"

#include "platform/sdk/CredProv.h"

#include <atomic>
#include <map>
#include <string>

class ssoRetryTimer;

class cred final : public ComObject<ICredentialProviderCredential, IID_ICredentialProviderCredential> {
public:
    cred() noexcept;

    // ICredentialProviderCredential
    STDMETHODIMP Advise(ICredentialProviderCredentialEvents* pcpce) override;
    STDMETHODIMP UnAdvise() override;
    STDMETHODIMP SetSelected(BOOL* pbAutoLogon) override;
    STDMETHODIMP SetDeselected() override;
    STDMETHODIMP GetFieldState(DWORD dwFieldID, CREDENTIAL_PROVIDER_FIELD_STATE* pcpfs,
                               CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE* pcpfis) override;
    STDMETHODIMP GetStringValue(DWORD dwFieldID, LPWSTR* ppsz) override;
    STDMETHODIMP GetBitmapValue(DWORD dwFieldID, HBITMAP* phbmp) override;
    STDMETHODIMP GetCheckboxValue(DWORD dwFieldID, BOOL* pbChecked, LPWSTR* ppszLabel) override;
    STDMETHODIMP GetSubmitButtonValue(DWORD dwFieldID, DWORD* pdwAdjacentTo) override;
    STDMETHODIMP GetComboBoxValueCount(DWORD dwFieldID, DWORD* pcItems, DWORD* pdwSelectedItem) override;
    STDMETHODIMP GetComboBoxValueAt(DWORD dwFieldID, DWORD dwItem, LPWSTR* ppszItem) override;
    STDMETHODIMP SetStringValue(DWORD dwFieldID, LPCWSTR psz) override;
    STDMETHODIMP SetCheckboxValue(DWORD dwFieldID, BOOL bChecked) override;
    STDMETHODIMP SetComboBoxSelectedValue(DWORD dwFieldID, DWORD dwSelectedItem) override;
    STDMETHODIMP CommandLinkClicked(DWORD dwFieldID) override;
    STDMETHODIMP GetSerialization(CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE* pcpgsr,
                                  CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, LPWSTR* ppszOptionalStatusText,
                                  CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon) override;
    STDMETHODIMP ReportResult(LONG ntsStatus, LONG ntsSubstatus, LPWSTR* ppszOptionalStatusText,
                              CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon) override;

    void SetUsageScenario(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario) noexcept { scenario_ = scenario; }
    // Replaces any timer this tile holds by a new one, started as configured.
    void StartRetryTimer() noexcept;
    bool HasRetryTimer() const noexcept { return retryTimer_ != nullptr; }
    const CredentialHandlerMap& Handlers() const noexcept { return handlers_; }

private:
    ~cred();
    void StopRetryTimer() noexcept;
    HRESULT SerializeForLogon(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, bool* keepCredentials);
    HRESULT SerializeEntra(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, bool* keepCredentials);
    HRESULT RunSerializationHandlers(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, HRESULT result);
    HRESULT RunReportHandlers(LONG ntsStatus, LONG ntsSubstatus, LPWSTR* statusText,
                              CREDENTIAL_PROVIDER_STATUS_ICON* statusIcon);

    ModuleReference moduleRef_;
    ULONG seqno_;
    CredentialHandlerMap handlers_;
    ssoRetryTimer* retryTimer_ = nullptr;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario_ = CPUS_INVALID;
};

// Creates a tile for the scenario; the first tile of a provider starts the SSO retry timer.
HRESULT cred_CreateInstance(ICredentialProviderCredential** ppcpc, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario,
                            bool startRetryTimer) noexcept;

// The label of the user field for the record's current unlock mode.
const wchar_t* TileUserText();
