// Credential handlers: in-process COM objects registered under the provider's CLSID that may
// replace the tile's serialization and adjust the reported logon result. Windows publishes no
// such interface; its IID and method order are this module's contract with handler authors.
#pragma once
#include "platform/UniqueResource.h"
#include "platform/sdk/CredProv.h"

#include <map>
#include <string>
#include <vector>

// {0FF2EBBE-2EA9-4780-8EA2-0C6C4CDF90AE}
struct ICredentialHandler : public IUnknown {
    // The contract of ICredentialProviderCredential::ReportResult; E_NOTIMPL: nothing done.
    virtual HRESULT STDMETHODCALLTYPE ReportResult(LONG ntsStatus, LONG ntsSubstatus, LPWSTR* ppszOptionalStatusText,
                                                   CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon) = 0;
    // Receives the tile's serialization and may put a replacement into `out` (which starts as
    // a copy of `in`); E_NOTIMPL: nothing changed.
    virtual HRESULT STDMETHODCALLTYPE UpdateSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* in,
                                                          CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* out) = 0;
};

inline constexpr IID IID_ICredentialHandler = {
    0x0ff2ebbe, 0x2ea9, 0x4780, {0x8e, 0xa2, 0x0c, 0x6c, 0x4c, 0xdf, 0x90, 0xae}};

// Handler name (CLSID text, lower case, no braces) -> one reference to the handler, iterated
// in ascending name order.
using CredentialHandlerMap = std::map<std::wstring, platform::com_ptr<ICredentialHandler>>;

// The enabled handler names registered under
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Authentication\Credential Providers\{<provider>}\CredentialHandlers.
std::vector<std::wstring> GetHandlerCLSIDs();
// Creates every enabled handler; one that cannot be created is logged and skipped.
void populateCredHandlersMap(CredentialHandlerMap& handlers);
