// What happens after LogonUI tried the tile's serialization: the agent hears about CertSSO
// failures, a failed CertSSO logon is retried while attempts remain, and the status text is
// chosen and handed through the credential handlers.
#include "cred.h"

#include "base/LogonMonitor.h"
#include "base/OfflineChannel.h"
#include "base/TesselSignal.h"
#include "lib/mfw/common/wire/Message.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/coreException.h"
#include "sso/AgentRequests.h"
#include "sso/Credentials.h"

#include <ntsecapi.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

using namespace CORE;

namespace {

constexpr LONG kStatusLogonFailure = static_cast<LONG>(0xC000006D);
constexpr DWORD kSendLoginErrorTimeoutMs = 100;


std::wstring MessageFrom(DWORD flags, LPCVOID source, DWORD code, DWORD language, DWORD maxChars) {
    std::wstring text(maxChars, L'\0');
    DWORD length = ::FormatMessageW(flags | FORMAT_MESSAGE_IGNORE_INSERTS, source, code, language, text.data(), maxChars,
                                    nullptr);
    text.resize(length < maxChars ? length : 0);
    return text;
}

// The system's text for a Win32 code (FormatMessage from the system, language 0).
std::wstring SystemText(DWORD code) { return MessageFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, 4096); }

// The text of a status: the system's messages, else ntdll's, else the smart card service's.
std::wstring StatusText(DWORD status) {
    std::wstring text =
        MessageFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, status, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), 4096);
    for (const wchar_t* module : {L"ntdll.dll", L"winscard.dll"}) {
        if (!text.empty()) break;
        if (HMODULE handle = ::GetModuleHandleW(module))
            text = MessageFrom(FORMAT_MESSAGE_FROM_HMODULE, handle, status, 0, 2048);
    }
    return text;
}

std::wstring ErrorText(LONG status, LONG substatus) {
    std::wstring text = StatusText(static_cast<DWORD>(status));
    if (text.empty()) return text;
    if (substatus != 0) {
        std::wstring subText = StatusText(static_cast<DWORD>(substatus));
        if (!subText.empty()) return text + L" " + subText;
    }
    return text;
}

void NotifyAgentOfCertSsoFailure(const Credentials& creds, LONG status, LONG substatus, DWORD statusWin,
                                 DWORD substatusWin, const std::wstring& statusText, const std::wstring& substatusText) {
    PropertyBag request;
    request.Set(L"certificateId", creds.certificateSsoId);
    request.Set(L"userName", creds.userName);
    request.Set(L"status", statusText);
    request.Set(L"subStatus", substatusText);
    request.Set(L"ntsStatus", std::to_wstring(status));
    request.Set(L"ntsSubstatus", std::to_wstring(substatus));
    request.Set(L"statusWinError", std::to_wstring(statusWin));
    request.Set(L"subStatusWinError", std::to_wstring(substatusWin));
    request.Set(L"reason", L"The user name or password is incorrect.");
    request.Set(L"category", L"LogonUI");
    PropertyBag answer;
    DWORD result = SendMsgToDesktopManager(L"SendLoginErrorEvent", request, answer, kSendLoginErrorTimeoutMs);
    if (result == RESULT_TIMEOUT) {
        LogMessage(LOG_TRACE, L"cred::ReportResult(): Timed out waiting for response to SendLoginErrorEvent message");
    } else if (result != 0) {
        LogMessage(LOG_WARN, L"cred::ReportResult(): Failed to send SendLoginErrorEvent message, resp: %s",
                   ResultName(result));
    }
}

// A failed CertSSO logon is tried again, with the same certificate, while attempts remain.
bool RetryCertSso(Credentials& creds, LONG ntsStatus, LONG ntsSubstatus, bool certSso) {
    if (ntsStatus != kStatusLogonFailure || ntsSubstatus != 0 || !certSso || creds.certLogon.attemptsLeft == 0 ||
        --creds.certLogon.attemptsLeft == 0)
        return false;
    LogMessage(LOG_DEBUG, L"Unknown CertSSO failure - tries remaining: %u",
               static_cast<unsigned>(creds.certLogon.attemptsLeft));
    if (OfflineChannel* channel = GetOfflineChannel()) channel->RequestDialogDismissal();
    return true;
}

// Logs a failed logon, tells the agent about a failed CertSSO, and sets the status text LogonUI
// shows. True when the CertSSO logon is to be retried instead.
bool ReportFailure(Credentials& creds, LONG ntsStatus, LONG ntsSubstatus, bool certSso, LPWSTR* statusText,
                   CREDENTIAL_PROVIDER_STATUS_ICON* statusIcon) {
    const DWORD statusWin = ::LsaNtStatusToWinError(static_cast<NTSTATUS>(ntsStatus));
    const DWORD substatusWin = ::LsaNtStatusToWinError(static_cast<NTSTATUS>(ntsSubstatus));
    LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO");
    const std::wstring statusName = SystemText(statusWin);
    const std::wstring substatusName = SystemText(substatusWin);
    LogMessage(LOG_WARN,
               L"cred::ReportResult(): Reported authentication failure. Status=0x%08X (WinErr=%d) and "
               L"subStatus=0x%08X (WinErr=%d).\r\n   Status    : %s\r\n   subStatus : %s",
               static_cast<unsigned>(ntsStatus), static_cast<int>(statusWin), static_cast<unsigned>(ntsSubstatus),
               static_cast<int>(substatusWin), statusName.c_str(), substatusName.c_str());
    if (creds.reportErrors && certSso)
        NotifyAgentOfCertSsoFailure(creds, ntsStatus, ntsSubstatus, statusWin, substatusWin, statusName,
                                    substatusName);
    if (RetryCertSso(creds, ntsStatus, ntsSubstatus, certSso)) {
        *statusText = nullptr;
        ::SHStrDupW(L"Retry Lumo SSO", statusText);
        *statusIcon = CPSI_NONE;
        return true;
    }
    SignalNotReadyForTessel("cred::ReportResult");
    if (ntsStatus == 0) return false;
    const std::wstring text = ErrorText(ntsStatus, ntsSubstatus);
    LogMessage(LOG_DEBUG, L"cred::ReportResult(): Returned error '%s'.", text.c_str());
    LPWSTR copy = nullptr;
    if (!text.empty() && SUCCEEDED(::SHStrDupW(text.c_str(), &copy))) {
        *statusText = copy;
        *statusIcon = CPSI_ERROR;
    }
    return false;
}

}  // namespace

HRESULT cred::RunReportHandlers(LONG ntsStatus, LONG ntsSubstatus, LPWSTR* statusText,
                                CREDENTIAL_PROVIDER_STATUS_ICON* statusIcon) {
    HRESULT result = S_OK;
    for (auto& [name, handler] : handlers_) {
        LPWSTR before = *statusText;
        LogMessage(LOG_TRACE, L"cred::ReportResult(): Call handler %s", name.c_str());
        result = handler->ReportResult(ntsStatus, ntsSubstatus, statusText, statusIcon);
        if (*statusText != before) {
            LogMessage(LOG_TRACE, L"cred::ReportResult(): Handler updated status text to - '%s'.",
                       *statusText ? *statusText : L"NULL");
            if (before) ::CoTaskMemFree(before);
        }
        if (result == E_NOTIMPL) {
            LogMessage(LOG_TRACE, L"cred::ReportResult(): Handler %s didn't deal with ReportResult", name.c_str());
            result = S_OK;
            continue;
        }
        if (result != S_OK) {
            LogMessage(LOG_ERROR, L"cred::ReportResult(): Handler %s returned 0x%x", name.c_str(),
                       static_cast<unsigned>(result));
            break;
        }
    }
    return result;
}

STDMETHODIMP cred::ReportResult(LONG ntsStatus, LONG ntsSubstatus, LPWSTR* ppszOptionalStatusText,
                                CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon) {
    wchar_t detail[64];
    _snwprintf(detail, 64, L"ntsStatus=%d, ntsSubstatus=%d", static_cast<int>(ntsStatus), static_cast<int>(ntsSubstatus));
    detail[63] = L'\0';
    SysMsgUtl::FunctionTraceWithSessionId trace("cred::ReportResult", detail);
    if (!ppszOptionalStatusText || !pcpsiOptionalStatusIcon) return E_INVALIDARG;
    // What LogonUI passes in is not ours to free: the handlers replace (and free) only our text.
    *ppszOptionalStatusText = nullptr;
    *pcpsiOptionalStatusIcon = CPSI_NONE;
    try {
        Credentials& creds = TheCredentials();
        const bool certSso = !creds.certLogon.containerName.empty() && !creds.certLogon.pin.empty();
        if (ntsStatus == 0 && ntsSubstatus == 0) {
            LogMessage(LOG_TRACE, L"cred::ReportResult(): Reported authentication success.");
            LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO");
            creds.SendReaderToSmartCardService();
        } else if (ReportFailure(creds, ntsStatus, ntsSubstatus, certSso, ppszOptionalStatusText,
                                 pcpsiOptionalStatusIcon)) {
            trace.SetExitDetail(L"certsso retry");
            return S_OK;
        }
        if (certSso) {
            creds.certLogon.containerName.clear();
            creds.certLogon.pin.Wipe();
        }
        HRESULT result = RunReportHandlers(ntsStatus, ntsSubstatus, ppszOptionalStatusText, pcpsiOptionalStatusIcon);
        wchar_t exitDetail[32];
        _snwprintf(exitDetail, 32, L"hresult=0x%x", static_cast<unsigned>(result));
        exitDetail[31] = L'\0';
        trace.SetExitDetail(exitDetail);
        return result;
    } catch (...) {
        return ResultFromCaughtException();
    }
}
