#include "credfilter.h"

#include "PackedInteractiveLogon.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "base/Serialization.h"
#include "base/SessionInfo.h"
#include "base/TesselSignal.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/util/coreException.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"
#include "platform/UniqueResource.h"
#include "sso/AgentAnswer.h"
#include "sso/AgentRequests.h"
#include "sso/Credentials.h"
#include "sso/SecurityManager.h"

#include <cstring>
#include <cwchar>
#include <new>

using namespace CORE;
using SysMsgUtl::FunctionTraceWithSessionId;

namespace {

std::atomic<ULONG> g_filterSeqno{0};

bool SsoAllowed() { return ReadConfigBool(L"\\Agent\\Configuration\\AllowSingleSignon", L"true"); }

}  // namespace

credfilter::credfilter() noexcept : seqno_(++g_filterSeqno) {
    wchar_t detail[32];
    _snwprintf(detail, 32, L"seqno=%u", static_cast<unsigned>(seqno_));
    FunctionTraceWithSessionId trace("credfilter::credfilter", detail);
}

credfilter::~credfilter() {
    wchar_t detail[32];
    _snwprintf(detail, 32, L"seqno=%u", static_cast<unsigned>(seqno_));
    FunctionTraceWithSessionId trace("credfilter::~credfilter", detail);
}

STDMETHODIMP credfilter::Filter(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags, GUID* rgclsidProviders,
                                BOOL* rgbAllow, DWORD cProviders) {
    wchar_t detail[96];
    _snwprintf(detail, 96, L"seqno=%u, cpus=%u, cProviders=%u, dwFlags=%u", static_cast<unsigned>(seqno_),
               static_cast<unsigned>(cpus), static_cast<unsigned>(cProviders), static_cast<unsigned>(dwFlags));
    FunctionTraceWithSessionId trace("credfilter::Filter", detail);
    try {
        Credentials& creds = TheCredentials();
        const bool ssoAllowed = SsoAllowed();

        if (cpus != CPUS_LOGON && cpus != CPUS_UNLOCK_WORKSTATION) {
            creds.isUnlockScenario = false;
            LogMessage(LOG_DEBUG, L"credfilter::Filter(): No SSO for this usage scenario: excluding tcprovd");
            // Only our own provider is touched; the lists may be absent when empty.
            if (rgclsidProviders && rgbAllow)
                for (DWORD i = 0; i < cProviders; ++i)
                    if (IsEqualCLSID(rgclsidProviders[i], CLSID_credprovider)) rgbAllow[i] = FALSE;
            return S_OK;
        }

        const bool drvSession = IsDRVProtocolSession();
        creds.isUnlockScenario = (cpus == CPUS_UNLOCK_WORKSTATION);

        if (!ssoAllowed) {
            if (drvSession || isApplicationSession()) SignalNotReadyForTessel("credfilter::Filter");
            LogMessage(LOG_DEBUG, L"credfilter::Filter(): SSO is disabled by policy");
            return S_OK;
        }

        if (cpus == CPUS_UNLOCK_WORKSTATION && CheckDMIfCertSsoUsed(creds)) {
            if (creds.isCertSsoUnlockEnabled || creds.isWhfbCertSsoUnlockEnabled)
                LogMessage(LOG_DEBUG, L"credfilter::Filter(): %sCertSSO is enabled for the session",
                           creds.isWhfbCertSsoUnlockEnabled ? L"Whfb " : L"");
            else
                LogMessage(LOG_DEBUG, L"credfilter::Filter(): [EntraAuth] SSO is enabled for the session");
            creds.credentialsAvailable = true;
            return S_OK;
        }

        if (drvSession) {
            LogMessage(LOG_DEBUG,
                       L"credfilter::Filter(): Not populating credentials in our filter, no SSO details are expected "
                       L"to be found on initial session setup");
        } else if (creds.ticketFound) {
            LogMessage(LOG_DEBUG, L"credfilter::Filter(): Already found ticket in UpdateRemoteCredential");
        } else {
            LogMessage(LOG_DEBUG, L"credfilter::Filter(): Populating credentials");
            PopulateCredentials(creds);
        }
    } catch (...) {
        // Filter never fails toward LogonUI.
    }
    return S_OK;
}

namespace {

bool DirectRdpAllowed() { return ReadConfigBool(L"\\Agent\\Configuration\\AllowDirectRDP", L"true"); }

// The system's remote logon filter supplies the credential when LogonUI passed none.
void GetRemoteLogonFilterCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* in,
                                    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* out) {
    platform::com_ptr<ICredentialProviderFilter> remote;
    HRESULT hr = ::CoCreateInstance(CLSID_RemoteLogonFilter, nullptr, CLSCTX_INPROC_SERVER, IID_ICredentialProviderFilter,
                                    remote.put_void());
    if (FAILED(hr)) {
        LogMessage(LOG_DEBUG, L"credfilter::GetRemoteLogonFilterCredential(): Cannot create RemoteLogonFilter: %s",
                   SystemErrorText(static_cast<DWORD>(hr)).c_str());
        return;
    }
    hr = remote->UpdateRemoteCredential(in, out);
    if (FAILED(hr))
        LogMessage(LOG_DEBUG, L"credfilter::GetRemoteLogonFilterCredential(): failed: %s",
                   SystemErrorText(static_cast<DWORD>(hr)).c_str());
}

// LogonUI gets nothing of a refused connection: the copy, which may hold the ticket, is wiped and freed.
void DropRemoteCredential(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* credential) {
    DiscardSerialization(credential);
    std::memset(credential, 0, sizeof(*credential));
}

struct FlushOnExit {
    ~FlushOnExit() { FlushLog(); }
};


}  // namespace

void DisplayError(const std::wstring& domain, const std::wstring& user) {
    LogMessage(LOG_WARN,
               L"User %s\\%s attempted an un-brokered connection to this machine and was not allowed due to Lumo policy",
               domain.c_str(), user.c_str());
    wchar_t text[4096] = {};
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    ERROR_ACCESS_DENIED, 0, text, 4096, nullptr);
    std::wstring message(text, length < 4096 ? length : 0);
    auto isBlank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    while (!message.empty() && isBlank(message.back())) message.pop_back();
    size_t first = 0;
    while (first < message.size() && isBlank(message[first])) ++first;
    message.erase(0, first);
    LogMessage(LOG_DEBUG, L"DisplayError(): text=%s", message.c_str());
    platform::Get().ShowMessageBox(message.c_str(), L"Dravik Lumo Agent", MB_ICONERROR | MB_SERVICE_NOTIFICATION);
    platform::Get().DisconnectCurrentSession(true);
}

STDMETHODIMP credfilter::UpdateRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsIn,
                                                CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsOut) {
    wchar_t detail[96];
    _snwprintf(detail, 96, L"seqno=%u, pcpcsIn=0x%p, pcpcsOut=0x%p", static_cast<unsigned>(seqno_), pcpcsIn, pcpcsOut);
    detail[95] = L'\0';
    FunctionTraceWithSessionId trace("credfilter::UpdateRemoteCredential", detail);
    if (IsDRVProtocolSession()) {
        LogMessage(LOG_DEBUG, L"DRV protocol type, skipping UpdateRemoteCredential");
        return E_NOTIMPL;
    }
    FlushOnExit flush;
    if (!pcpcsOut) return E_INVALIDARG;
    try {
        return CheckRemoteCredential(pcpcsIn, pcpcsOut);
    } catch (...) {
        // The copy may hold the ticket; the connection is judged as one whose lookup failed.
        const HRESULT hr = ResultFromCaughtException();
        DropRemoteCredential(pcpcsOut);
        if (DirectRdpAllowed()) return hr;
        DisplayError(L"", L"");
        return E_FAIL;
    }
}

namespace {

// Copies LogonUI's remote credential, or has the system's remote logon filter supply it.
// False when a passed credential could not be copied.
bool ObtainRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* in,
                            CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* out) {
    if (in && in->rgbSerialization && in->cbSerialization) {
        LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): Credentials were passed in. Duplicating them.");
        if (!DuplicateSerialization(in, out)) {
            LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): Failed to duplicate serialization.");
            return false;
        }
    } else {
        LogMessage(LOG_DEBUG,
                   L"credfilter::UpdateRemoteCredential(): Credentials were NULL. Using RemoteLogonFilter to retrieve them.");
        GetRemoteLogonFilterCredential(in, out);
    }
    LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): Got remote credentials, package=%u, guid=%s, ptr=0x%p, size=%u",
               static_cast<unsigned>(out->ulAuthenticationPackage), GuidToString(out->clsidCredentialProvider).c_str(),
               out->rgbSerialization, static_cast<unsigned>(out->cbSerialization));
    return true;
}

// Reads the remote credential as an interactive logon; false (logged) when it is none.
bool ReadRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* credential,
                          PackedInteractiveLogon* logon) {
    switch (UnpackInteractiveLogon(credential->rgbSerialization, credential->cbSerialization, logon)) {
    case PackedLogonStatus::TooSmall:
        LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): KERB_INTERACTIVE_LOGON too small");
        return false;
    case PackedLogonStatus::NotInteractive:
        LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): NOT KerbInteractiveLogon. MessageType is %u.",
                   static_cast<unsigned>(logon->messageType));
        return false;
    case PackedLogonStatus::InvalidData:
        LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): KERB_INTERACTIVE_LOGON invalid data");
        return false;
    case PackedLogonStatus::Ok:
        break;
    }
    return true;
}

// Asks the agent whether the logon's ticket is one of the broker's; true when it is.
bool CheckTicket(const PackedInteractiveLogon& logon, PropertyBag& answer) {
    // The ticket is a secret: only its size is logged.
    LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): Check for our ticket, domain=%s, user=%s, ticket size=%u",
               logon.domain.c_str(), logon.user.c_str(), static_cast<unsigned>(logon.ticket.size()));
    PropertyBag request;
    request.Set(L"sessionId", std::to_wstring(GetSessionId()));
    request.Set(L"processId", std::to_wstring(::GetCurrentProcessId()));
    request.Set(L"userName", logon.user);
    request.Set(L"domainName", logon.domain);
    request.SetSecret(L"ticket", logon.ticket);
    bool found = false;
    const bool sent = GetCredentialsForTicket(request, answer, &found);
    request.Clear();
    return sent && found;
}

// The filter's precedence over the agent's answer: an expired connection is refused, then the
// hybrid account, CertSSO, the smart card and the password are tried in that order.
HRESULT StoreAnswer(const AgentAnswer& answer, const PackedInteractiveLogon& logon, bool directRdpAllowed) {
    Credentials& creds = TheCredentials();
    creds.unauthUserName = answer.unauthUserName;
    creds.unauthPassword = answer.unauthPassword;
    if (answer.expired) {
        LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): SSO credentials are for an expired connection");
        DisplayError(logon.domain, logon.user);
        return E_FAIL;
    }
    if (answer.HasUnauthAccount()) {
        creds.credentialsAvailable = true;
        return S_OK;
    }
    if (answer.HasCertSso()) {
        LogMessage(LOG_DEBUG, L"%s (sessionId=%d) got CertSso Creds.", L"credfilter::UpdateRemoteCredential",
                   static_cast<int>(GetSessionId()));
        StoreCertificateAccount(creds, answer, logon.user, logon.domain);
        StoreCertSso(creds, answer);
        creds.credentialsAvailable = true;
        return S_OK;
    }
    if (!answer.smartCardPin.empty() && answer.upnItemCount > 0) {
        StoreCertificateAccount(creds, answer, logon.user, logon.domain);
        const bool pinReadable = StoreSmartCard(creds, answer);
        LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): Principal name list %s", answer.upnsXml.c_str());
        for (const std::wstring& upn : creds.upnList)
            LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): Looking for user principal name '%s'.",
                       upn.c_str());
        if (pinReadable && creds.FindSmartCardCertificate() == 0) creds.credentialsAvailable = true;
        return S_OK;
    }
    if (!answer.nonSsoTicket && answer.password.empty()) {
        if (!directRdpAllowed) {
            DisplayError(logon.domain, logon.user);
            return E_FAIL;
        }
        if (!logon.ticket.empty())
            LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): ticket for user %s\\%s NOT found",
                       logon.domain.c_str(), logon.user.c_str());
        else
            LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): no ticket specified for user %s\\%s",
                       logon.domain.c_str(), logon.user.c_str());
        return S_OK;
    }
    if (!answer.nonSsoTicket && SsoAllowed() && answer.smartCardPin.empty()) {
        LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): got encrypted password from DesktopManager");
        StoreUser(creds, answer, logon.user, logon.domain);
        creds.password = answer.password;  // decrypted only while the logon buffer is built
        creds.credentialsAvailable = true;
        return S_OK;
    }
    LogMessage(LOG_DEBUG, L"credfilter::UpdateRemoteCredential(): Successful ticket verification NON SSO");
    return S_OK;
}

}  // namespace

HRESULT credfilter::CheckRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsIn,
                                          CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsOut) {
    std::memset(pcpcsOut, 0, sizeof(*pcpcsOut));
    TheCredentials().agentUnanswered = false;  // a new remote credential starts a new logon
    const bool directRdpAllowed = DirectRdpAllowed();
    HRESULT result = S_OK;
    PackedInteractiveLogon logon;

    // Everything that did not come through the broker ends here.
    auto refuse = [&]() -> HRESULT {
        if (directRdpAllowed) {
            LogMessage(LOG_DEBUG,
                       L"credfilter::UpdateRemoteCredential(): AllowDirectRDP is true or unset. Allowing direct connection.");
            return result;
        }
        LogMessage(LOG_DEBUG,
                   L"credfilter::UpdateRemoteCredential(): AllowDirectRDP is false. Disallowing direct RDP connection.");
        DisplayError(logon.domain, logon.user);
        DropRemoteCredential(pcpcsOut);
        return E_FAIL;
    };
    if (!ObtainRemoteCredential(pcpcsIn, pcpcsOut)) {
        result = E_NOTIMPL;
        return refuse();
    }
    if (!ReadRemoteCredential(pcpcsOut, &logon)) return refuse();
    PropertyBag answer;
    if (!logon.ticket.empty() && !CheckTicket(logon, answer)) return refuse();

    // Accepted (or no ticket at all): from here LogonUI receives no serialization of ours.
    TheCredentials().ticketFound = true;
    DiscardSerialization(pcpcsOut);
    return StoreAnswer(AgentAnswer::Read(answer), logon, directRdpAllowed);
}

HRESULT credfilter_CreateInstance(REFIID riid, void** ppv) noexcept {
    return CreateComObject<credfilter>(riid, ppv, [](credfilter&) {});
}
