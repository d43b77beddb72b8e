#include "cred.h"

#include "ssoRetryTimer.h"

#include "base/ModuleRef.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/coreException.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"
#include "sso/Credentials.h"

#include <shlwapi.h>

#include <cstdarg>
#include <cwchar>
#include <new>

using namespace CORE;
using SysMsgUtl::FunctionTraceWithSessionId;

namespace {

std::atomic<ULONG> g_tileSeqno{0};

enum TileField : DWORD { kUserField = 0, kSubmitField = 1, kTileFieldCount = 2 };

// Per field: its display state; both are never interactive.
const CREDENTIAL_PROVIDER_FIELD_STATE kFieldStates[kTileFieldCount] = {
    CPFS_DISPLAY_IN_BOTH,           // kUserField
    CPFS_DISPLAY_IN_SELECTED_TILE,  // kSubmitField
};

class Detail {
public:
    explicit Detail(const wchar_t* format, ...) noexcept {
        va_list args;
        va_start(args, format);
        _vsnwprintf(text_, 127, format, args);
        va_end(args);
        text_[127] = L'\0';
    }
    const wchar_t* c_str() const noexcept { return text_; }

private:
    wchar_t text_[128];
};

bool IsWindows10OrLater() {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = 10;
    info.dwMinorVersion = 0;
    info.wServicePackMajor = 0;
    DWORDLONG mask = ::VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return platform::Get().VerifyVersionInfo(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                                             mask) != FALSE;
}

bool IsWorkstation() {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.wProductType = VER_NT_WORKSTATION;
    return platform::Get().VerifyVersionInfo(&info, VER_PRODUCT_TYPE,
                                             ::VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL)) != FALSE;
}

}  // namespace

const wchar_t* TileUserText() {
    const Credentials& creds = TheCredentials();
    if (creds.IsWhfbCertSsoUnlock()) return L"Zephral Windows Hello User";
    if (creds.IsCertSsoUnlock()) return L"Zephral KeySSO User";
    if (creds.IsEntraUnlock()) return L"Zephral Entra ID User";
    return L"Zephral SSO User";
}

cred::cred() noexcept : seqno_(++g_tileSeqno) {
    FunctionTraceWithSessionId trace("cred::cred", Detail(L"seqno=%u", static_cast<unsigned>(seqno_)).c_str());
    try {
        populateCredHandlersMap(handlers_);
    } catch (...) {
        handlers_.clear();  // the tile works without handlers
    }
}

cred::~cred() {
    FunctionTraceWithSessionId trace("cred::~cred", Detail(L"seqno=%u", static_cast<unsigned>(seqno_)).c_str());
    StopRetryTimer();
    handlers_.clear();
}

void cred::StartRetryTimer() noexcept {
    StopRetryTimer();
    retryTimer_ = new (std::nothrow) ssoRetryTimer();
    if (retryTimer_) retryTimer_->StartConfigured();
}

void cred::StopRetryTimer() noexcept {
    if (!retryTimer_) return;
    retryTimer_->Stop();
    retryTimer_->Release();
    retryTimer_ = nullptr;
}

STDMETHODIMP cred::Advise(ICredentialProviderCredentialEvents*) {
    FunctionTraceWithSessionId trace("cred::Advise");
    return S_OK;
}

STDMETHODIMP cred::UnAdvise() {
    FunctionTraceWithSessionId trace("cred::UnAdvise");
    return S_OK;
}

STDMETHODIMP cred::SetDeselected() {
    FunctionTraceWithSessionId trace("cred::SetDeselected");
    return S_OK;
}

STDMETHODIMP cred::SetSelected(BOOL* pbAutoLogon) {
    FunctionTraceWithSessionId trace("cred::SetSelected");
    if (!pbAutoLogon) return E_INVALIDARG;
    // Auto-logon comes from the provider's credential count, never from selection.
    *pbAutoLogon = FALSE;
    const Credentials& creds = TheCredentials();
    const bool certUnlock = creds.IsCertSsoUnlock();
    if (!certUnlock && !creds.IsWhfbCertSsoUnlock() && !creds.IsEntraUnlock()) return E_FAIL;
    try {
        if (certUnlock && ReadConfigBool(L"\\Agent\\Configuration\\CertSSOCredFilterSetSelectedOk", L"false")) {
            FunctionTraceWithSessionId note("cred::SetSelected",
                                            L"Returing success for CertSSO unlock as override flag is set");
            return S_OK;
        }
        if (!IsWindows10OrLater()) {
            const bool workstation = IsWorkstation();
            FunctionTraceWithSessionId note(
                "cred::SetSelected",
                Detail(L"Returing success for %s unlock on Windows %s older than %s",
                       certUnlock ? L"CertSSO" : L"WhfbCertSSO", workstation ? L"Client" : L"Server",
                       workstation ? L"Windows 10" : L"Windows Server 2016")
                    .c_str());
            return S_OK;
        }
        FunctionTraceWithSessionId note("cred::SetSelected", certUnlock                  ? L"CertSSO unlock is detected"
                                                             : creds.IsWhfbCertSsoUnlock() ? L"WhfbCertSSO unlock is detected"
                                                                                         : L"EntraAuth SSO unlock is detected");
        return E_FAIL;
    } catch (...) {
        return ResultFromCaughtException();
    }
}

STDMETHODIMP cred::GetFieldState(DWORD dwFieldID, CREDENTIAL_PROVIDER_FIELD_STATE* pcpfs,
                                 CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE* pcpfis) {
    FunctionTraceWithSessionId trace("cred::GetFieldState");
    if (dwFieldID >= kTileFieldCount || !pcpfs || !pcpfis) return E_INVALIDARG;
    *pcpfs = kFieldStates[dwFieldID];
    *pcpfis = CPFIS_NONE;
    return S_OK;
}

STDMETHODIMP cred::GetStringValue(DWORD dwFieldID, LPWSTR* ppsz) {
    FunctionTraceWithSessionId trace("cred::GetStringValue");
    if (dwFieldID != kUserField || !ppsz) return E_INVALIDARG;
    *ppsz = nullptr;
    return ::SHStrDupW(TileUserText(), ppsz);
}

STDMETHODIMP cred::GetSubmitButtonValue(DWORD dwFieldID, DWORD* pdwAdjacentTo) {
    FunctionTraceWithSessionId trace("cred::GetSubmitButtonValue");
    if (dwFieldID != kSubmitField || !pdwAdjacentTo) return E_INVALIDARG;
    *pdwAdjacentTo = kUserField;
    return S_OK;
}

STDMETHODIMP cred::GetBitmapValue(DWORD, HBITMAP*) {
    FunctionTraceWithSessionId trace("cred::GetBitmapValue");
    return E_NOTIMPL;
}

STDMETHODIMP cred::GetCheckboxValue(DWORD, BOOL*, LPWSTR*) {
    FunctionTraceWithSessionId trace("cred::GetCheckboxValue");
    return E_NOTIMPL;
}

STDMETHODIMP cred::GetComboBoxValueCount(DWORD, DWORD*, DWORD*) {
    FunctionTraceWithSessionId trace("cred::GetComboBoxValueCount");
    return E_NOTIMPL;
}

STDMETHODIMP cred::GetComboBoxValueAt(DWORD, DWORD, LPWSTR*) {
    FunctionTraceWithSessionId trace("cred::GetComboBoxValueAt");
    return E_NOTIMPL;
}

STDMETHODIMP cred::SetStringValue(DWORD, LPCWSTR) {
    FunctionTraceWithSessionId trace("cred::SetStringValue");
    return E_NOTIMPL;
}

STDMETHODIMP cred::SetCheckboxValue(DWORD, BOOL) {
    FunctionTraceWithSessionId trace("cred::SetCheckboxValue");
    return E_NOTIMPL;
}

STDMETHODIMP cred::SetComboBoxSelectedValue(DWORD, DWORD) {
    FunctionTraceWithSessionId trace("cred::SetComboBoxSelectedValue");
    return E_NOTIMPL;
}

STDMETHODIMP cred::CommandLinkClicked(DWORD) {
    FunctionTraceWithSessionId trace("cred::CommandLinkClicked");
    return E_NOTIMPL;
}

HRESULT cred_CreateInstance(ICredentialProviderCredential** ppcpc, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario,
                            bool startRetryTimer) noexcept {
    FunctionTraceWithSessionId trace("cred_CreateInstance");
    return CreateComObject<cred>(IID_ICredentialProviderCredential, reinterpret_cast<void**>(ppcpc), [&](cred& tile) {
        tile.SetUsageScenario(scenario);
        if (startRetryTimer) tile.StartRetryTimer();
    });
}
