// The tile's serialization: picks exactly one kind of logon from the credentials record, has
// its buffer built, names its package, and lets the credential handlers adjust the result.
// It also decides whether the record's material survives the call: password, local, hybrid
// and smart card SSO are single-use; CertSSO and pending Entra requests are kept for a retry.
#include "cred.h"

#include "base/Guids.h"
#include "base/LogonMonitor.h"
#include "base/TesselSignal.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/coreException.h"
#include "logon/AuthPackage.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"
#include "logon/KerbCertificateLogon.h"
#include "logon/PasswordProtection.h"
#include "sso/AgentRequests.h"
#include "sso/Credentials.h"
#include "sso/SecurityManager.h"

#include <cstring>

using namespace CORE;

namespace {

const wchar_t kSsoKsp[] = L"Velmora Zephral SSO Key Storage Provider";
const wchar_t kWhfbKsp[] = L"Velmora Zephral WHFB SSO Key Storage Provider";
const char kAgentPackage[] = "LUMO_AUTHENTICATION_PACKAGE_V1_0";

// Hands a finished buffer to the serialization LogonUI receives.
void Fill(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, ULONG package, BYTE* buffer, DWORD size) {
    pcpcs->ulAuthenticationPackage = package;
    pcpcs->clsidCredentialProvider = CLSID_credprovider;
    pcpcs->rgbSerialization = buffer;
    pcpcs->cbSerialization = size;
}

// A buffer that will not reach LogonUI: it may hold protected secrets, so it is wiped first.
void Discard(BYTE*& buffer, DWORD size) {
    if (!buffer) return;
    ::SecureZeroMemory(buffer, size);
    ::CoTaskMemFree(buffer);
    buffer = nullptr;
}

// The texts a certificate logon branch logs at its three outcomes.
struct KerberosTexts {
    const wchar_t* buildFailed;     // ERROR
    const wchar_t* packageMissing;  // DEBUG
    const wchar_t* succeeded;       // DEBUG, after the package is known
};

// Names the Kerberos package for a certificate logon that `built` reports on and hands the
// buffer to LogonUI; a missing package is E_NOTIMPL, a failed build E_FAIL.
HRESULT HandOverCertificateLogon(HRESULT built, BYTE*& buffer, DWORD size, const KerberosTexts& texts,
                                 CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs) {
    HRESULT hr = S_OK;
    ULONG package = 0;
    if (built != S_OK) {
        LogMessage(LOG_ERROR, L"cred::GetSerialization(): %s", texts.buildFailed);
        hr = E_FAIL;
    } else if (FAILED(LookupAuthPackage("Kerberos", &package))) {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): %s", texts.packageMissing);
        hr = E_NOTIMPL;
    } else {
        Fill(pcpcs, package, buffer, size);
        buffer = nullptr;
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): %s", texts.succeeded);
    }
    Discard(buffer, size);
    return hr;
}

// The unlock handshake with the agent: it tells the remote display service that an unlock
// starts, waits for the agent's go-ahead, and confirms it. False when a step failed (logged).
bool UnlockHandshake(Credentials& creds, const wchar_t* prefix, const wchar_t* what) {
    if (!NotifyDazSrvCertSsoUnlockAndRefreshTicket(creds)) {
        LogMessage(LOG_ERROR, L"cred::GetSerialization(): %sFailed to trigger DazServer notification event for %s", prefix,
                   what);
        return false;
    }
    PropertyBag response;
    if (!creds.WaitForCertSsoUnlockEvent(response)) {
        LogMessage(LOG_ERROR, L"cred::GetSerialization(): %sWait for %s notification failed , Error: %s", prefix,
                   *prefix ? L"UnlockSession" : L"CertSSO UnlockSession", response.GetErrorText(L"").c_str());
        return false;
    }
    return true;
}

}  // namespace

STDMETHODIMP cred::GetSerialization(CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE* pcpgsr,
                                    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, LPWSTR*,
                                    CREDENTIAL_PROVIDER_STATUS_ICON*) {
    SysMsgUtl::FunctionTraceWithSessionId trace("cred::GetSerialization");
    if (!pcpgsr || !pcpcs) return E_INVALIDARG;
    LogonMonitorBegin(L"Lumo Agent", L"tcfiltr", L"SSO");
    StopRetryTimer();  // a serialization attempt ends the retry wait

    *pcpgsr = CPGSR_NO_CREDENTIAL_FINISHED;
    pcpcs->rgbSerialization = nullptr;
    pcpcs->cbSerialization = 0;
    bool keepCredentials = false;
    HRESULT hr;
    try {
        hr = SerializeForLogon(pcpcs, &keepCredentials);
        if (hr >= 0) hr = RunSerializationHandlers(pcpcs, hr);
    } catch (...) {
        hr = ResultFromCaughtException();
    }

    if (hr < 0 || !pcpcs->rgbSerialization) {
        Discard(pcpcs->rgbSerialization, pcpcs->cbSerialization);
        pcpcs->cbSerialization = 0;
        SignalNotReadyForTessel("cred::GetSerialization");
    } else {
        *pcpgsr = CPGSR_RETURN_CREDENTIAL_FINISHED;
    }
    if (!keepCredentials) TheCredentials().credentialsAvailable = false;
    return hr;
}

HRESULT cred::SerializeForLogon(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, bool* keepCredentials) {
    Credentials& creds = TheCredentials();
    bool certUnlockError = false;

    // Unlock prelude.
    if (creds.IsWhfbCertSsoUnlock()) {
        *keepCredentials = true;
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Populating credentials for Whfb CertSSO unlock not required");
    } else if (creds.IsCertSsoUnlock()) {
        *keepCredentials = true;
        if (!UnlockHandshake(creds, L"", L"CertSSO unlock")) {
            certUnlockError = true;
        } else {
            PropertyBag response;
            if (!CertSsoUnlockSessionCompleteNotif(creds, response))
                LogMessage(LOG_ERROR,
                           L"cred::GetSerialization(): Failed to send CertSSO UnlockSession complete notification");
            LogMessage(LOG_TRACE, L"cred::GetSerialization(): Populating credentials for CertSSO unlock");
            creds.PopulateCredentials();
        }
    }

    if (!creds.credentialsAvailable) {
        LogMessage(LOG_TRACE, L"cred::GetSerialization(): No autologon credentials available");
        return E_FAIL;
    }

    BYTE* buffer = nullptr;
    DWORD size = 0;
    ULONG package = 0;
    HRESULT hr = S_OK;

    // Hybrid and local accounts: the unauthenticated-access account is part of the logon.
    if (!creds.unauthUserName.empty() && !creds.unauthPassword.empty()) {
        if (!creds.userName.empty() && !creds.password.empty() && !creds.domainName.empty()) {
            LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Performing hybrid login using username and password.");
            hr = CredFilterBuildHybridLogonBuffer(creds.unauthUserName.c_str(), creds.unauthPassword.c_str(),
                                                  creds.domainName.c_str(), creds.userName.c_str(),
                                                  creds.password.c_str(), scenario_, &buffer, &size);
            creds.domainName.clear();
            creds.userName.clear();
            creds.password.Wipe();
            if (FAILED(hr)) {
                LogMessage(LOG_ERROR,
                           L"cred::GetSerialization(): cred::GetSerialization: Serializing HYBRID - credentials for use "
                           L"in SSO failed 0x%08X",
                           static_cast<unsigned>(hr));
                hr = E_FAIL;
            } else if (FAILED(hr = LookupAuthPackage(kAgentPackage, &package))) {
                LogMessage(LOG_ERROR,
                           L"cred::GetSerialization(): cred::GetSerialization: Retrieve auth package for credentials "
                           L"failed 0x%08X",
                           static_cast<unsigned>(hr));
            } else {
                Fill(pcpcs, package, buffer, size);
                buffer = nullptr;
            }
        } else if (!creds.certLogon.containerName.empty() && !creds.certLogon.pin.empty()) {
            LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Performing hybrid login using cert sso.");
            hr = CredFilterBuildHybridCertificateLogonBuffer(
                creds.unauthUserName.c_str(), creds.unauthPassword.c_str(), nullptr, nullptr, creds.certLogon.pin.c_str(),
                0, nullptr, nullptr, creds.certLogon.containerName.c_str(), kSsoKsp, &buffer, &size);
            creds.certLogon.containerName.clear();
            creds.certLogon.pin.Wipe();
            if (FAILED(hr)) {
                LogMessage(LOG_ERROR,
                           L"cred::GetSerialization(): Serializing HYBRID - CertSSO credentials for use in SSO failed "
                           L"0x%08X",
                           static_cast<unsigned>(hr));
                hr = E_FAIL;
            } else if (FAILED(hr = LookupAuthPackage(kAgentPackage, &package))) {
                LogMessage(LOG_ERROR,
                           L"cred::GetSerialization(): cred::GetSerialization: Retrieve auth package for hybrid cert "
                           L"logon failed 0x%08X",
                           static_cast<unsigned>(hr));
            } else {
                Fill(pcpcs, package, buffer, size);
                buffer = nullptr;
            }
        } else {
            LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing LOCAL username/password credentials");
            if (FAILED(hr = LookupAuthPackage("NTLM", &package))) {
                LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Failed to retrieve authentication package id");
            } else if (FAILED(hr = PackInteractiveLogon(L"", creds.unauthUserName.c_str(), creds.unauthPassword.c_str(),
                                                        scenario_, &buffer, &size))) {
                LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Failed to Serialize Credentials 0x%08X",
                           static_cast<unsigned>(hr));
            } else {
                Fill(pcpcs, package, buffer, size);
                buffer = nullptr;
            }
        }
        creds.unauthUserName.clear();
        creds.unauthPassword.Wipe();
        Discard(buffer, size);
        return hr;
    }

    // CertSSO, also when the unlock handshake failed: the agent's KSP may still sign.
    if ((!creds.certLogon.containerName.empty() && !creds.certLogon.pin.empty()) || certUnlockError) {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing CertSSO credentials%s",
                   certUnlockError ? L" (CertSSO unlock error)" : L"");
        hr = BuildKerbCertificateLogon(&buffer, &size, scenario_, creds.dnsDomainName.c_str(), creds.domainName.c_str(),
                                       creds.userName.c_str(), creds.brokerUserSid.c_str(), {}, L"", L"",
                                       creds.certLogon.containerName.c_str(), kSsoKsp, creds.certLogon.pin.c_str(), 0,
                                       true);
        hr = HandOverCertificateLogon(hr, buffer, size,
                                      {L"Serializing CertSSO credentials for use in SSO failed",
                                       L"Failed to retrieve Kerberos authentication package id",
                                       L"CertAuth credential serialization succeeded"},
                                      pcpcs);
        // Kept on success: result reporting may retry with the same certificate.
        if (hr == S_OK) *keepCredentials = true;
        return hr;
    }

    if (!creds.smartCardPin.empty()) {
        SecureWString protectedPin;
        ProtectSecretCopy(creds.smartCardPin.c_str(), &protectedPin);
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing smart card credentials");
        if (!creds.smartCardHintUpn.empty()) {
            LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Adding SmartCardHintUpn %s to UpnList",
                       creds.smartCardHintUpn.c_str());
            creds.upnList.insert(creds.upnList.begin(), creds.smartCardHintUpn);
        }
        hr = BuildKerbCertificateLogon(&buffer, &size, scenario_, creds.dnsDomainName.c_str(), creds.domainName.c_str(),
                                       creds.userName.c_str(), creds.brokerUserSid.c_str(), creds.upnList,
                                       creds.smartCardReader.c_str(), creds.cardName.c_str(),
                                       creds.containerName.c_str(), creds.providerName.c_str(), protectedPin.c_str(),
                                       creds.keySpec, false);
        creds.upnList.clear();
        creds.cardName.clear();
        creds.containerName.clear();
        creds.providerName.clear();
        creds.password.Wipe();
        creds.smartCardPin.Wipe();
        protectedPin.Wipe();
        creds.smartCardHintUpn.clear();
        return HandOverCertificateLogon(hr, buffer, size,
                                        {L"Serializing certificate credentials for use in SSO failed",
                                         L"Failed to retrieve Kerberos authentication package id",
                                         L"Smart card credential serialization succeeded"},
                                        pcpcs);
    }

    if (!creds.whfbCertPin.empty()) {
        LogMessage(LOG_DEBUG,
                   L"cred::GetSerialization(): Serializing Whfb CertSSO credentials, usage:%s, contextId:%s, hasPin:%s",
                   creds.IsWhfbCertSsoUnlock() ? L"unlock" : L"logon", creds.whfbCertCtxId.c_str(), L"yes");
        SecureWString pin = DecryptProtectedPayload(creds.whfbCertPin.view());
        hr = BuildKerbCertificateLogon(&buffer, &size, scenario_, creds.dnsDomainName.c_str(), creds.domainName.c_str(),
                                       creds.userName.c_str(), creds.brokerUserSid.c_str(), {}, L"", L"",
                                       creds.whfbCertCtxId.c_str(), kWhfbKsp, pin.c_str(), 0, true);
        pin.Wipe();
        hr = HandOverCertificateLogon(hr, buffer, size,
                                      {L"Failed to serialize credentials for Whfb CertSSO",
                                       L"Failed to retrieve Kerberos authentication packageId",
                                       L"Retrieved kerberos authentication packageId for Whfb CertSSO"},
                                      pcpcs);
        if (hr == S_OK) *keepCredentials = true;
        return hr;
    }

    if (creds.entraContext) return SerializeEntra(pcpcs, keepCredentials);

    if (creds.IsEntraUnlock()) {
        if (UnlockHandshake(creds, L"[EntraAuth] ", L"unlock")) {
            PropertyBag response;
            if (!CertSsoUnlockSessionCompleteNotif(creds, response)) {
                LogMessage(LOG_ERROR,
                           L"cred::GetSerialization(): [EntraAuth] Failed to send UnlockSession complete notification");
            } else {
                creds.PopulateCredentials();
                if (!creds.entraContext)
                    LogMessage(LOG_ERROR, L"cred::GetSerialization(): [EntraAuth] NULL m_entraCreds, unlock failed.");
                else
                    creds.WaitForClientEntraAuthCompletion();
            }
        }
        if (creds.entraContext) return SerializeEntra(pcpcs, keepCredentials);
        return S_OK;  // no buffer: the failure exit follows
    }

    LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing username/password credentials");
    if (FAILED(hr = LookupAuthPackage("Negotiate", &package))) {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Failed to retrieve authentication package id");
    } else if (FAILED(hr = PackInteractiveLogon(creds.domainName.c_str(), creds.userName.c_str(), creds.password.c_str(),
                                                scenario_, &buffer, &size))) {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Failed to Serialize Credentials 0x%08X",
                   static_cast<unsigned>(hr));
    } else {
        Fill(pcpcs, package, buffer, size);
        buffer = nullptr;
    }
    creds.domainName.clear();
    creds.userName.clear();
    creds.password.Wipe();
    Discard(buffer, size);
    return hr;
}

HRESULT cred::SerializeEntra(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, bool* keepCredentials) {
    IEntraContext* context = TheCredentials().entraContext.get();
    HRESULT status = context->GetStatus();
    if (status != S_OK) {
        // Not ready: a pending request keeps the record for the serialization after completion.
        if (status == E_PENDING) *keepCredentials = true;
        return S_OK;
    }
    pcpcs->clsidCredentialProvider = CLSID_credprovider;
    ULONG package = 0;
    if (SUCCEEDED(LookupAuthPackage("CloudAP", &package))) pcpcs->ulAuthenticationPackage = package;
    BYTE* buffer = nullptr;
    ULONG size = 0;
    HRESULT hr = context->SerializeCredential(&buffer, &size);
    context->WipeAssertion();
    if (SUCCEEDED(hr)) {
        pcpcs->rgbSerialization = buffer;
        pcpcs->cbSerialization = size;
    } else {
        Discard(buffer, size);
    }
    return hr;
}

HRESULT cred::RunSerializationHandlers(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, HRESULT result) {
    for (auto& [name, handler] : handlers_) {
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION working = *pcpcs;
        LogMessage(LOG_TRACE, L"cred::GetSerialization(): Call handler %s", name.c_str());
        HRESULT hr = handler->UpdateSerialization(pcpcs, &working);
        if (hr == S_OK) {
            if (working.rgbSerialization != pcpcs->rgbSerialization) {
                LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Handler %s changed credentials", name.c_str());
                Discard(pcpcs->rgbSerialization, pcpcs->cbSerialization);
            } else {
                LogMessage(LOG_WARN, L"cred::GetSerialization(): Handler %s changed credentials, pointer untouched",
                           name.c_str());
            }
            *pcpcs = working;
            result = S_OK;
        } else if (hr == E_NOTIMPL) {
            LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Handler %s reports it made no changes", name.c_str());
            result = S_OK;
        } else {
            LogMessage(LOG_ERROR, L"cred::GetSerialization(): Handler %s returned 0x%x, passing on to logonui",
                       name.c_str(), static_cast<unsigned>(hr));
            Discard(pcpcs->rgbSerialization, pcpcs->cbSerialization);
            pcpcs->cbSerialization = 0;
            return hr;
        }
    }
    return result;
}
