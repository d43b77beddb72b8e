#include "credprovider.h"

#include "base/OfflineChannel.h"
#include "cred.h"

#include "base/ModuleRef.h"
#include "base/SessionInfo.h"
#include "base/TesselSignal.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"
#include "sso/AgentRequests.h"
#include "sso/Credentials.h"

#include <cwchar>
#include <mutex>
#include <new>

using namespace CORE;
using SysMsgUtl::FunctionTraceWithSessionId;

namespace {

std::atomic<ULONG> g_providerSeqno{0};
std::atomic<bool> g_reEnumerationEnabled{false};

// One row per tile field: type and, for the user field, the label by SSO kind.
struct FieldRow {
    CREDENTIAL_PROVIDER_FIELD_TYPE type;
    const wchar_t* label;
};
const FieldRow kFields[kFieldCount] = {
    {CPFT_LARGE_TEXT, nullptr},        // kFieldUserLabel: label chosen at call time
    {CPFT_SUBMIT_BUTTON, L"submit"},   // kFieldSubmit
};

const wchar_t* UserFieldLabel() {
    const Credentials& creds = TheCredentials();
    if (creds.IsWhfbCertSsoUnlock()) return L"Dravik_Whfb_Cert_User";
    if (creds.IsCertSsoUnlock()) return L"Dravik_KEYSSO_User";
    return L"Dravik_SSO_User";
}

const wchar_t* AvailabilityText(bool available) {
    return available ? L"got SSO credentials" : L"no SSO credentials available";
}

class SeqnoDetail {
public:
    explicit SeqnoDetail(ULONG seqno) noexcept { _snwprintf(text_, 32, L"seqno=%u", static_cast<unsigned>(seqno)); }
    const wchar_t* c_str() const noexcept { return text_; }

private:
    wchar_t text_[32] = {};
};

}  // namespace

bool IsReEnumerationEnabled() noexcept { return g_reEnumerationEnabled.load(); }

credprovider::credprovider() noexcept : seqno_(++g_providerSeqno) {}

credprovider::~credprovider() {
    TheCredentials().ClearCredentials(false);
    TheCredentials().agentUnanswered = false;  // LogonUI is done with this logon
}

STDMETHODIMP credprovider::SetUsageScenario(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags) {
    wchar_t detail[64];
    _snwprintf(detail, 64, L"seqno=%u, cpus=%u, dwFlags=%u", static_cast<unsigned>(seqno_),
               static_cast<unsigned>(cpus), static_cast<unsigned>(dwFlags));
    FunctionTraceWithSessionId trace("credprovider::SetUsageScenario", detail);
    scenario_ = CPUS_INVALID;
    if (cpus != CPUS_LOGON && cpus != CPUS_UNLOCK_WORKSTATION) return E_INVALIDARG;
    scenario_ = cpus;
    return S_OK;
}

STDMETHODIMP credprovider::SetSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*) {
    FunctionTraceWithSessionId trace("credprovider::SetSerialization", SeqnoDetail(seqno_).c_str());
    return E_NOTIMPL;
}

STDMETHODIMP credprovider::Advise(ICredentialProviderEvents* pcpe, UINT_PTR upAdviseContext) {
    FunctionTraceWithSessionId trace("credprovider::Advise", SeqnoDetail(seqno_).c_str());
    std::lock_guard<corecritsec> guard(lock_);
    if (!pcpe || upAdviseContext == 0) return E_INVALIDARG;
    if (g_reEnumerationEnabled.load()) {
        pcpe->AddRef();
        if (events_) {
            // Advised again without UnAdvise: replace the sink, keep the one registration.
            events_->Release();
            events_ = pcpe;
            adviseContext_ = upAdviseContext;
        } else {
            events_ = pcpe;
            adviseContext_ = upAdviseContext;
            AddRef();  // the channel may call back until UnAdvise
            if (OfflineChannel* channel = GetOfflineChannel()) channel->SetReEnumerationContext(nullptr, this);
        }
    }
    DRV_EnumerateCredentials(false, false);
    return S_OK;
}

STDMETHODIMP credprovider::UnAdvise() {
    FunctionTraceWithSessionId trace("credprovider::UnAdvise", SeqnoDetail(seqno_).c_str());
    bool dropSelfReference = false;
    {
        std::lock_guard<corecritsec> guard(lock_);
        certSsoChangedFired_ = false;
        lastReportedHasCredentials_ = false;
        if (events_) {
            ICredentialProviderEvents* events = events_;
            events_ = nullptr;
            adviseContext_ = 0;
            events->Release();
            if (OfflineChannel* channel = GetOfflineChannel()) channel->SetReEnumerationContext(this, nullptr);
            dropSelfReference = true;
        }
    }
    // Outside the lock: the lock is a member of this object.
    if (dropSelfReference) Release();
    return S_OK;
}

STDMETHODIMP credprovider::GetFieldDescriptorCount(DWORD* pdwCount) {
    FunctionTraceWithSessionId trace("credprovider::GetFieldDescriptorCount", SeqnoDetail(seqno_).c_str());
    if (!pdwCount) return E_INVALIDARG;
    *pdwCount = kFieldCount;
    return S_OK;
}

STDMETHODIMP credprovider::GetFieldDescriptorAt(DWORD dwIndex, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppcpfd) {
    FunctionTraceWithSessionId trace("credprovider::GetFieldDescriptorAt", SeqnoDetail(seqno_).c_str());
    if (!ppcpfd || dwIndex >= kFieldCount) return E_INVALIDARG;
    *ppcpfd = nullptr;
    const wchar_t* label = dwIndex == kFieldUserLabel ? UserFieldLabel() : kFields[dwIndex].label;
    const size_t labelBytes = (wcslen(label) + 1) * sizeof(wchar_t);
    platform::unique_cotask<CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR> descriptor =
        platform::unique_cotask<CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR>::alloc(sizeof(CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR));
    platform::unique_cotask<wchar_t> labelCopy = platform::unique_cotask<wchar_t>::alloc(labelBytes);
    if (!descriptor || !labelCopy) return E_OUTOFMEMORY;
    memcpy(labelCopy.get(), label, labelBytes);
    descriptor->dwFieldID = dwIndex;
    descriptor->cpft = kFields[dwIndex].type;
    descriptor->guidFieldType = GUID_NULL;
    descriptor->pszLabel = labelCopy.release();
    *ppcpfd = descriptor.release();
    return S_OK;
}

STDMETHODIMP credprovider::GetCredentialCount(DWORD* pdwCount, DWORD* pdwDefault, BOOL* pbAutoLogonWithDefault) {
    FunctionTraceWithSessionId trace("credprovider::GetCredentialCount", SeqnoDetail(seqno_).c_str());
    if (!pdwCount || !pdwDefault || !pbAutoLogonWithDefault) return E_INVALIDARG;
    const Credentials& creds = TheCredentials();
    if (!creds.credentialsAvailable) {
        LogMessage(LOG_DEBUG, L"credprovider::GetCredentialCount(): No autologon, no SSO: no SSO source available");
        *pdwCount = 0;
        *pdwDefault = CREDENTIAL_PROVIDER_NO_DEFAULT;
        *pbAutoLogonWithDefault = FALSE;
        if (IsDRVProtocolSession() || isApplicationSession()) SignalNotReadyForTessel("credprovider::GetCredentialCount");
        return S_OK;
    }
    LogMessage(LOG_DEBUG, L"credprovider::GetCredentialCount(): Allowing autologon: credentials available");
    *pdwCount = 1;
    *pdwDefault = 0;
    // Certificate and Entra unlock wait for the agent first; Windows Hello unlock does not.
    *pbAutoLogonWithDefault = (creds.IsCertSsoUnlock() || creds.IsEntraUnlock()) ? FALSE : TRUE;
    return S_OK;
}

STDMETHODIMP credprovider::GetCredentialAt(DWORD dwIndex, ICredentialProviderCredential** ppcpc) {
    FunctionTraceWithSessionId trace("credprovider::GetCredentialAt", SeqnoDetail(seqno_).c_str());
    if (!ppcpc || dwIndex != 0) return E_INVALIDARG;
    *ppcpc = nullptr;
    HRESULT hr = cred_CreateInstance(ppcpc, scenario_, startRetryTimerOnNextTile_);
    // Only the first tile this provider hands out starts a retry timer.
    if (SUCCEEDED(hr)) startRetryTimerOnNextTile_ = false;
    return hr;
}

HRESULT credprovider::RaiseCredentialsChanged() noexcept {
    return events_->CredentialsChanged(adviseContext_);
}

// Certificate and Entra unlock: LogonUI re-enumerates once per session, when the agent is ready.
void credprovider::SignalUnlockOnce() noexcept {
    if (!events_) return;
    if (certSsoChangedFired_) {
        LogMessage(LOG_TRACE,
                   L"credprovider::DRV_EnumerateCredentials(): Suppressing duplicate CredentialsChanged for "
                   L"CertSSO/EntraSSO (already fired this session)");
        return;
    }
    HRESULT hr = RaiseCredentialsChanged();
    if (SUCCEEDED(hr)) {
        LogMessage(LOG_DEBUG,
                   L"credprovider::DRV_EnumerateCredentials(): Signalled credential re-enumeration for "
                   L"CertSSO/EntraSSO");
        certSsoChangedFired_ = true;
    } else {
        LogMessage(LOG_ERROR, L"credprovider::DRV_EnumerateCredentials(): CredentialsChanged failed, Error: 0x%08X",
                   static_cast<unsigned>(hr));
    }
}

// The ticket was looked up already: LogonUI hears only of a change, or when asked again.
void credprovider::ReportTicketState(bool explicitRequest) noexcept {
    Credentials& creds = TheCredentials();
    const bool available = creds.credentialsAvailable;
    LogMessage(LOG_DEBUG, L"credprovider::DRV_EnumerateCredentials(): Already looked up ticket (%s)",
               AvailabilityText(available));
    if (!events_) {
        LogMessage(LOG_TRACE, L"credprovider::DRV_EnumerateCredentials(): No credential provider event specified");
        return;
    }
    if (available != lastReportedHasCredentials_) {
        HRESULT hr = RaiseCredentialsChanged();
        if (SUCCEEDED(hr)) {
            LogMessage(LOG_DEBUG,
                       L"credprovider::DRV_EnumerateCredentials(): Credential state changed (%s -> %s), signaling "
                       L"re-enumeration",
                       lastReportedHasCredentials_ ? L"had credentials" : L"no credentials",
                       available ? L"has credentials" : L"no credentials");
            lastReportedHasCredentials_ = available;
        } else {
            LogMessage(LOG_ERROR,
                       L"credprovider::DRV_EnumerateCredentials(): CredentialsChanged failed, Error: 0x%08X",
                       static_cast<unsigned>(hr));
        }
    } else if (explicitRequest) {
        LogMessage(LOG_DEBUG,
                   L"credprovider::DRV_EnumerateCredentials(): Resending CredentialsChanged event on explicit "
                   L"request");
        RaiseCredentialsChanged();
    } else {
        LogMessage(LOG_TRACE,
                   L"credprovider::DRV_EnumerateCredentials(): Credential state unchanged, suppressing "
                   L"CredentialsChanged");
    }
}

// The record is filled from the agent; a callback re-enumerates what it found.
void credprovider::RefreshCredentials(bool fromCallback) noexcept {
    Credentials& creds = TheCredentials();
    LogMessage(LOG_DEBUG, L"credprovider::DRV_EnumerateCredentials(): Refreshing credentials.");
    if (fromCallback) creds.agentUnanswered = false;  // the agent has shown it is there
    PopulateCredentials(creds);
    if (creds.ticketFound) {
        const wchar_t* text = AvailabilityText(creds.credentialsAvailable);
        if (fromCallback) {
            LogMessage(LOG_DEBUG, L"credprovider::DRV_EnumerateCredentials(): Signaling credential re-enumeration (%s)",
                       text);
            RaiseCredentialsChanged();
        } else {
            LogMessage(LOG_DEBUG, L"credprovider::DRV_EnumerateCredentials(): Initial credential enumeration (%s)",
                       text);
        }
    } else {
        LogMessage(LOG_TRACE,
                   L"credprovider::DRV_EnumerateCredentials(): No ticket lookup so not signaling credential "
                   L"re-enumeration.");
    }
}

void credprovider::DRV_EnumerateCredentials(bool fromCallback, bool explicitRequest) noexcept {
    std::lock_guard<corecritsec> guard(lock_);
    Credentials& creds = TheCredentials();
    if (creds.IsCertSsoUnlock() || creds.IsEntraUnlock()) {
        SignalUnlockOnce();
    } else if (creds.ticketFound) {
        ReportTicketState(explicitRequest);
    } else if (events_) {
        RefreshCredentials(fromCallback);
    } else {
        LogMessage(LOG_DEBUG,
                   L"credprovider::DRV_EnumerateCredentials(): Not configured to re-enumerate by advise, ignoring.");
    }
}

void ReEnumerateCredentialsCallback(IUnknown* context, bool explicitRequest) noexcept {
    FunctionTraceWithSessionId trace("ReEnumerateCredentialsCallback");
    // The channel's only context is a provider (registered by Advise).
    if (context) static_cast<credprovider*>(static_cast<ICredentialProvider*>(context))->DRV_EnumerateCredentials(true, explicitRequest);
}

namespace {

// Each new provider (re)states whether the channel thread re-enumerates for this session's
// protocol and makes sure the thread runs.
void ConfigureReEnumeration() noexcept {
    OfflineChannel* channel = GetOfflineChannel();
    const wchar_t* fn = L"credprovider_CreateInstance";
    USHORT protocol = 0;
    bool enable = true;
    if (!GetSessionProtocol(&protocol)) {
        LogMessage(LOG_WARN, L"%s: Unknown session, so setting re-enumeration callbacks by default.", fn);
    } else if (protocol == kProtocolConsole) {
        LogMessage(LOG_TRACE, L"%s: Console session, so setting re-enumeration callbacks.", fn);
    } else if (protocol == kProtocolDrv) {
        LogMessage(LOG_TRACE, L"%s: DRV session, so setting re-enumeration callbacks.", fn);
    } else if (protocol == kProtocolRdp) {
        LogMessage(LOG_TRACE, L"%s: RDP session, so setting re-enumeration callbacks.", fn);
    } else {
        LogMessage(LOG_TRACE, L"%s: Other remote session, so not setting re-enumeration callbacks.", fn);
        enable = false;
    }
    g_reEnumerationEnabled = enable;
    if (channel) {
        if (enable) {
            try {
                channel->SetReEnumerationCallback(&ReEnumerateCredentialsCallback, EnumerateEventName().c_str());
            } catch (...) {
            }
        }
        // Refuses by itself when no event exists or the thread already runs.
        channel->RunChannelThread();
    }
}

}  // namespace

HRESULT credprovider_CreateInstance(REFIID riid, void** ppv) noexcept {
    FunctionTraceWithSessionId trace("credprovider_CreateInstance");
    return CreateComObject<credprovider>(riid, ppv, [](credprovider&) { ConfigureReEnumeration(); });
}
