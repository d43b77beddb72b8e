#include "credfilter.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "base/SessionInfo.h"
#include "base/TesselSignal.h"
#include "lib/mfw/common/Config.h"
#include "lib/mfw/common/SysMessage.h"
#include "sso/Credentials.h"

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
    DllAddRef();
}

credfilter::~credfilter() {
    wchar_t detail[32];
    _snwprintf(detail, 32, L"seqno=%u", static_cast<unsigned>(seqno_));
    FunctionTraceWithSessionId trace("credfilter::~credfilter", detail);
    DllRelease();
}

STDMETHODIMP credfilter::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICredentialProviderFilter)) {
        *ppv = static_cast<ICredentialProviderFilter*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) credfilter::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) credfilter::Release() {
    ULONG count = --refs_;
    if (count == 0) delete this;
    return count;
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

        if (cpus == CPUS_UNLOCK_WORKSTATION && creds.CheckDMIfCertSsoUsed()) {
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
            creds.PopulateCredentials();
        }
    } catch (...) {
        // Filter never fails toward LogonUI.
    }
    return S_OK;
}

STDMETHODIMP credfilter::UpdateRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*,
                                                CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*) {
    wchar_t detail[32];
    _snwprintf(detail, 32, L"seqno=%u", static_cast<unsigned>(seqno_));
    FunctionTraceWithSessionId trace("credfilter::UpdateRemoteCredential", detail);
    // The ticket check is not built yet: LogonUI keeps the remote credential as it came.
    return E_NOTIMPL;
}

HRESULT credfilter_CreateInstance(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    credfilter* filter = new (std::nothrow) credfilter();
    if (!filter) return E_OUTOFMEMORY;
    HRESULT hr = filter->QueryInterface(riid, ppv);
    filter->Release();
    return hr;
}
