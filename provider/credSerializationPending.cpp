#include "cred.h"

// Placeholder until the logon buffer builders land; replaced by the real serialization.
STDMETHODIMP cred::GetSerialization(CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE* pcpgsr,
                                    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, LPWSTR*,
                                    CREDENTIAL_PROVIDER_STATUS_ICON*) {
    if (!pcpgsr || !pcpcs) return E_INVALIDARG;
    *pcpgsr = CPGSR_NO_CREDENTIAL_FINISHED;
    return E_NOTIMPL;
}
HRESULT cred::SerializeForLogon(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*, bool*) { return E_NOTIMPL; }
HRESULT cred::SerializeEntra(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*, bool*) { return E_NOTIMPL; }
HRESULT cred::RunSerializationHandlers(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*, HRESULT result) { return result; }
