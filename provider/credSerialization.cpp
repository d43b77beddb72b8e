// The tile's serialization: picks exactly one kind of logon from the credentials record, has
// its buffer built, names its package, and lets the credential handlers adjust the result.
// It also decides whether the record's material survives the call: password, local, hybrid
// and smart card SSO are single-use; CertSSO and pending Entra requests are kept for a retry.
#include "cred.h"

#include "base/Guids.h"
#include "base/LogonMonitor.h"
#include "base/Serialization.h"
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

using Serialization = CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION;

HRESULT LogFailure(LogLevel level, const wchar_t* text, HRESULT hr) {
    LogMessage(level, L"cred::GetSerialization(): %s 0x%08X", text, static_cast<unsigned>(hr));
    return hr;
}

// The texts a certificate logon road logs at its three outcomes.
struct KerberosTexts {
    const wchar_t* buildFailed;     // ERROR
    const wchar_t* packageMissing;  // DEBUG
    const wchar_t* succeeded;       // DEBUG, after the package is known
};

// Names the Kerberos package for a certificate logon that `built` reports on and hands the
// buffer to LogonUI; a missing package is E_NOTIMPL, a failed build E_FAIL.
HRESULT HandOverCertificateLogon(HRESULT built, LogonBuffer& buffer, const KerberosTexts& texts,
                                 Serialization* pcpcs) {
    ULONG package = 0;
    if (built != S_OK) {
        LogMessage(LOG_ERROR, L"cred::GetSerialization(): %s", texts.buildFailed);
        return E_FAIL;
    }
    if (FAILED(LookupAuthPackage("Kerberos", &package))) {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): %s", texts.packageMissing);
        return E_NOTIMPL;
    }
    buffer.HandTo(pcpcs, package, CLSID_credprovider);
    LogMessage(LOG_DEBUG, L"cred::GetSerialization(): %s", texts.succeeded);
    return S_OK;
}

// A hybrid logon goes to the agent's own package; a failed build is E_FAIL.
HRESULT HandOverHybridLogon(HRESULT built, LogonBuffer& buffer, const wchar_t* buildFailed,
                            const wchar_t* packageFailed, Serialization* pcpcs) {
    if (FAILED(built)) {
        LogFailure(LOG_ERROR, buildFailed, built);
        return E_FAIL;
    }
    ULONG package = 0;
    HRESULT hr = LookupAuthPackage(kAgentPackage, &package);
    if (FAILED(hr)) return LogFailure(LOG_ERROR, packageFailed, hr);
    buffer.HandTo(pcpcs, package, CLSID_credprovider);
    return hr;
}

// A password logon (interactive layout) for `packageName`, looked up before the buffer is built.
HRESULT SerializeInteractive(const char* packageName, PCWSTR domain, PCWSTR user, PCWSTR password,
                             CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario, Serialization* pcpcs) {
    ULONG package = 0;
    HRESULT hr = LookupAuthPackage(packageName, &package);
    if (FAILED(hr)) {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Failed to retrieve authentication package id");
        return hr;
    }
    LogonBuffer buffer;
    hr = PackInteractiveLogon(domain, user, password, scenario, buffer.Data(), buffer.Size());
    if (FAILED(hr)) return LogFailure(LOG_DEBUG, L"Failed to Serialize Credentials", hr);
    buffer.HandTo(pcpcs, package, CLSID_credprovider);
    return hr;
}

// The unauthenticated-access account with the domain user's password, for the agent's package.
HRESULT SerializeHybridPassword(Credentials& creds, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario,
                                Serialization* pcpcs) {
    LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Performing hybrid login using username and password.");
    LogonBuffer buffer;
    HRESULT hr = CredFilterBuildHybridLogonBuffer(creds.unauthUserName.c_str(), creds.unauthPassword.c_str(),
                                                  creds.domainName.c_str(), creds.userName.c_str(),
                                                  creds.password.c_str(), scenario, buffer.Data(), buffer.Size());
    creds.domainName.clear();
    creds.userName.clear();
    creds.password.Wipe();
    return HandOverHybridLogon(
        hr, buffer, L"cred::GetSerialization: Serializing HYBRID - credentials for use in SSO failed",
        L"cred::GetSerialization: Retrieve auth package for credentials failed", pcpcs);
}

// The unauthenticated-access account with the CertSSO certificate, for the agent's package.
HRESULT SerializeHybridCertificate(Credentials& creds, Serialization* pcpcs) {
    LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Performing hybrid login using cert sso.");
    LogonBuffer buffer;
    HRESULT hr = CredFilterBuildHybridCertificateLogonBuffer(
        creds.unauthUserName.c_str(), creds.unauthPassword.c_str(), nullptr, nullptr, creds.certLogon.pin.c_str(), 0,
        nullptr, nullptr, creds.certLogon.containerName.c_str(), kSsoKsp, buffer.Data(), buffer.Size());
    creds.certLogon.containerName.clear();
    creds.certLogon.pin.Wipe();
    return HandOverHybridLogon(hr, buffer, L"Serializing HYBRID - CertSSO credentials for use in SSO failed",
                               L"cred::GetSerialization: Retrieve auth package for hybrid cert logon failed", pcpcs);
}

// Hybrid and local accounts: the unauthenticated-access account is part of the logon, whose
// material is used once.
HRESULT SerializeUnauthAccount(Credentials& creds, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario,
                               Serialization* pcpcs) {
    HRESULT hr;
    if (!creds.userName.empty() && !creds.password.empty() && !creds.domainName.empty()) {
        hr = SerializeHybridPassword(creds, scenario, pcpcs);
    } else if (!creds.certLogon.containerName.empty() && !creds.certLogon.pin.empty()) {
        hr = SerializeHybridCertificate(creds, pcpcs);
    } else {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing LOCAL username/password credentials");
        hr = SerializeInteractive("NTLM", L"", creds.unauthUserName.c_str(), creds.unauthPassword.c_str(), scenario,
                                  pcpcs);
    }
    creds.unauthUserName.clear();
    creds.unauthPassword.Wipe();
    return hr;
}

// The account every certificate logon names; reader and card stay empty unless a card is used.
KerbCertificateLogonRequest CertificateRequest(const Credentials& creds, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario) {
    KerbCertificateLogonRequest request;
    request.scenario = scenario;
    request.dnsDomainName = creds.dnsDomainName.c_str();
    request.domainName = creds.domainName.c_str();
    request.userName = creds.userName.c_str();
    request.brokerUserSid = creds.brokerUserSid.c_str();
    request.readerName = L"";
    request.cardName = L"";
    return request;
}

// A certificate whose key the agent's key storage provider holds (CertSSO, Windows Hello
// CertSSO); the record is kept on success because result reporting may retry with it.
HRESULT SerializeAgentKeyLogon(const Credentials& creds, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario, PCWSTR container,
                               PCWSTR provider, PCWSTR pin, const KerberosTexts& texts, Serialization* pcpcs,
                               bool* keepCredentials) {
    LogonBuffer buffer;
    KerbCertificateLogonRequest request = CertificateRequest(creds, scenario);
    request.containerName = container;
    request.providerName = provider;
    request.pin = pin;
    request.isCertSso = true;
    const HRESULT hr =
        HandOverCertificateLogon(BuildKerbCertificateLogon(request, buffer.Data(), buffer.Size()), buffer, texts, pcpcs);
    if (hr == S_OK) *keepCredentials = true;
    return hr;
}

// A CertSSO whose buffer could not be built is not offered again.
HRESULT ForgetCertSsoOnFailure(Credentials& creds, HRESULT hr) {
    if (hr != S_OK) {
        creds.certLogon.pin.Wipe();
        creds.certLogon.containerName.clear();
    }
    return hr;
}

// CertSSO, also when the unlock handshake failed.
HRESULT SerializeCertSso(Credentials& creds, bool unlockFailed, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario,
                         Serialization* pcpcs, bool* keepCredentials) {
    LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing CertSSO credentials%s",
               unlockFailed ? L" (CertSSO unlock error)" : L"");
    return ForgetCertSsoOnFailure(
        creds, SerializeAgentKeyLogon(creds, scenario, creds.certLogon.containerName.c_str(), kSsoKsp,
                                      creds.certLogon.pin.c_str(),
                                      {L"Serializing CertSSO credentials for use in SSO failed",
                                       L"Failed to retrieve Kerberos authentication package id",
                                       L"CertAuth credential serialization succeeded"},
                                      pcpcs, keepCredentials));
}

// The card in a redirected reader; its material is used once.
HRESULT SerializeSmartCard(Credentials& creds, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario, Serialization* pcpcs) {
    SecureWString protectedPin;
    ProtectSecretCopy(creds.smartCardPin.c_str(), &protectedPin);
    LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing smart card credentials");
    if (!creds.smartCardHintUpn.empty()) {
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Adding SmartCardHintUpn %s to UpnList",
                   creds.smartCardHintUpn.c_str());
        creds.upnList.insert(creds.upnList.begin(), creds.smartCardHintUpn);
    }
    LogonBuffer buffer;
    KerbCertificateLogonRequest request = CertificateRequest(creds, scenario);
    request.upnList = creds.upnList;
    request.readerName = creds.smartCardReader.c_str();
    request.cardName = creds.cardName.c_str();
    request.containerName = creds.containerName.c_str();
    request.providerName = creds.providerName.c_str();
    request.pin = protectedPin.c_str();
    request.keySpec = creds.keySpec;
    HRESULT hr = BuildKerbCertificateLogon(request, buffer.Data(), buffer.Size());
    creds.upnList.clear();
    creds.cardName.clear();
    creds.containerName.clear();
    creds.providerName.clear();
    creds.password.Wipe();
    creds.smartCardPin.Wipe();
    protectedPin.Wipe();
    creds.smartCardHintUpn.clear();
    return HandOverCertificateLogon(hr, buffer,
                                    {L"Serializing certificate credentials for use in SSO failed",
                                     L"Failed to retrieve Kerberos authentication package id",
                                     L"Smart card credential serialization succeeded"},
                                    pcpcs);
}

// Windows Hello CertSSO through the agent's Hello key storage provider.
HRESULT SerializeWhfbCertificate(Credentials& creds, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario,
                                 Serialization* pcpcs, bool* keepCredentials) {
    LogMessage(LOG_DEBUG,
               L"cred::GetSerialization(): Serializing Whfb CertSSO credentials, usage:%s, contextId:%s, hasPin:%s",
               creds.IsWhfbCertSsoUnlock() ? L"unlock" : L"logon", creds.whfbCertCtxId.c_str(), L"yes");
    const SecureWString pin = DecryptProtectedPayload(creds.whfbCertPin.view());
    if (pin.empty()) {
        // Never an empty PIN: the logon would fail at the KSP, or worse, be taken for another.
        LogMessage(LOG_ERROR, L"cred::GetSerialization(): The Whfb CertSSO PIN could not be decrypted");
        creds.whfbCertPin.Wipe();
        return E_FAIL;
    }
    return SerializeAgentKeyLogon(creds, scenario, creds.whfbCertCtxId.c_str(), kWhfbKsp, pin.c_str(),
                                  {L"Failed to serialize credentials for Whfb CertSSO",
                                   L"Failed to retrieve Kerberos authentication packageId",
                                   L"Retrieved kerberos authentication packageId for Whfb CertSSO"},
                                  pcpcs, keepCredentials);
}

// The domain user's password for Negotiate; used once.
HRESULT SerializePassword(Credentials& creds, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario, Serialization* pcpcs) {
    LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Serializing username/password credentials");
    HRESULT hr = SerializeInteractive("Negotiate", creds.domainName.c_str(), creds.userName.c_str(),
                                      creds.password.c_str(), scenario, pcpcs);
    creds.domainName.clear();
    creds.userName.clear();
    creds.password.Wipe();
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

// The CertSSO unlock prelude: the agent's go-ahead refreshes the record. False when the
// handshake failed; the CertSSO road is still tried then, as the agent's KSP may still sign.
bool CertSsoUnlockPrelude(Credentials& creds) {
    if (!UnlockHandshake(creds, L"", L"CertSSO unlock")) return false;
    PropertyBag response;
    if (!CertSsoUnlockSessionCompleteNotif(creds, response))
        LogMessage(LOG_ERROR, L"cred::GetSerialization(): Failed to send CertSSO UnlockSession complete notification");
    LogMessage(LOG_TRACE, L"cred::GetSerialization(): Populating credentials for CertSSO unlock");
    PopulateCredentials(creds);
    return true;
}

// The Entra unlock: after the go-ahead the record holds a new request whose completion is
// awaited. False when no request came of it.
bool EntraUnlockPrelude(Credentials& creds) {
    if (UnlockHandshake(creds, L"[EntraAuth] ", L"unlock")) {
        PropertyBag response;
        if (!CertSsoUnlockSessionCompleteNotif(creds, response)) {
            LogMessage(LOG_ERROR,
                       L"cred::GetSerialization(): [EntraAuth] Failed to send UnlockSession complete notification");
        } else {
            PopulateCredentials(creds);
            if (!creds.entraContext)
                LogMessage(LOG_ERROR, L"cred::GetSerialization(): [EntraAuth] NULL m_entraCreds, unlock failed.");
            else
                creds.WaitForClientEntraAuthCompletion();
        }
    }
    return creds.entraContext != nullptr;
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
        DiscardSerialization(pcpcs);
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
    if (creds.IsWhfbCertSsoUnlock()) {
        *keepCredentials = true;
        LogMessage(LOG_DEBUG, L"cred::GetSerialization(): Populating credentials for Whfb CertSSO unlock not required");
    } else if (creds.IsCertSsoUnlock()) {
        *keepCredentials = true;
        certUnlockError = !CertSsoUnlockPrelude(creds);
    }
    if (!creds.credentialsAvailable) {
        LogMessage(LOG_TRACE, L"cred::GetSerialization(): No autologon credentials available");
        return E_FAIL;
    }

    // One road, in this order of precedence.
    if (!creds.unauthUserName.empty() && !creds.unauthPassword.empty())
        return SerializeUnauthAccount(creds, scenario_, pcpcs);
    if ((!creds.certLogon.containerName.empty() && !creds.certLogon.pin.empty()) || certUnlockError)
        return SerializeCertSso(creds, certUnlockError, scenario_, pcpcs, keepCredentials);
    if (!creds.smartCardPin.empty()) return SerializeSmartCard(creds, scenario_, pcpcs);
    if (!creds.whfbCertPin.empty()) return SerializeWhfbCertificate(creds, scenario_, pcpcs, keepCredentials);
    if (creds.entraContext) return SerializeEntra(pcpcs, keepCredentials);
    if (creds.IsEntraUnlock()) {
        if (EntraUnlockPrelude(creds)) return SerializeEntra(pcpcs, keepCredentials);
        return S_OK;  // no buffer: the failure exit follows
    }
    return SerializePassword(creds, scenario_, pcpcs);
}

HRESULT cred::SerializeEntra(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, bool* keepCredentials) {
    IEntraContext* context = TheCredentials().entraContext.get();
    HRESULT status = context->GetStatus();
    if (status != S_OK) {
        // Not ready: a pending request keeps the record for the serialization after completion.
        if (status == E_PENDING) *keepCredentials = true;
        return S_OK;
    }
    ULONG package = 0;
    if (FAILED(LookupAuthPackage("CloudAP", &package))) package = pcpcs->ulAuthenticationPackage;
    LogonBuffer buffer;
    HRESULT hr = context->SerializeCredential(buffer.Data(), buffer.Size());
    context->WipeAssertion();
    if (SUCCEEDED(hr)) buffer.HandTo(pcpcs, package, CLSID_credprovider);
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
                DiscardSerialization(pcpcs);
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
            if (working.rgbSerialization != pcpcs->rgbSerialization) DiscardSerialization(&working);
            DiscardSerialization(pcpcs);
            return hr;
        }
    }
    return result;
}
