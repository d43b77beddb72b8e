#include "AgentRequests.h"

#include "AgentAnswer.h"
#include "Credentials.h"
#include "DesktopManagerTransport.h"
#include "SecurityManager.h"

#include "base/SessionInfo.h"
#include "entra/EntraAsyncCredentialContext.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/coreException.h"
#include "lib/mfw/common/wire/Message.h"

#include <cwchar>

using namespace CORE;

namespace {

int SessionIdForLog() { return static_cast<int>(GetSessionId()); }

std::wstring Text(const wchar_t* format, ...) {
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 1023, format, args);
    va_end(args);
    buffer[1023] = L'\0';
    return buffer;
}

void LogTicketOutcome(bool found) {
    LogMessage(LOG_TRACE, L"(sessionId=%d) GetCredentialsOverFramework complete: %s", SessionIdForLog(),
               found ? L"found ticket" : L"ticket not matched");
}

// The checks every session request makes before it is sent; false with the error in `response`.
bool CheckSessionRequest(const wchar_t* messageName, const Credentials* creds, PropertyBag& response) {
    const std::wstring prefix = Text(L"Request %s failed", messageName);
    if (GetSessionId() == 0) {
        response.SetError(1, Text(L"%s, sessionId is invalid", prefix.c_str()));
        return false;
    }
    if (!creds) {
        response.SetError(1, Text(L"%s, (sessionId=%d) Credentials are missing", prefix.c_str(), SessionIdForLog()));
        return false;
    }
    return true;
}

// Sends a request holding only "sessionId"; on failure the answer's error says which request failed.
bool SendSessionRequest(const wchar_t* messageName, PropertyBag& response) {
    PropertyBag request;
    request.Set(L"sessionId", std::to_wstring(GetSessionId()));
    if (SendMsgToDesktopManager(messageName, request, response, kAgentRequestTimeoutMs) == 0) return true;
    DWORD code = response.GetError();
    std::wstring reason = response.GetErrorText(L"");
    response.SetError(code, Text(L"Request %s failed, (sessionId=%d) %s", messageName, SessionIdForLog(), reason.c_str()));
    return false;
}

// The tile's precedence over the agent's answer: the certificate kinds, then the smart card,
// Entra, the password, and the hybrid account alone.
bool StoreTicketAnswer(const AgentAnswer& answer, Credentials& creds) {
    creds.unauthUserName = answer.unauthUserName;
    creds.unauthPassword = answer.unauthPassword;
    if (!answer.whfbCertPin.empty() || answer.HasCertSso()) {
        LogMessage(LOG_DEBUG, L"GetCredentialsForSimpleToken():  (sessionId=%d) got %s Creds.", SessionIdForLog(),
                   answer.whfbCertPin.empty() ? L"CertSso" : L"Whfb CertSso");
        StoreCertificateAccount(creds, answer, L"", L"");
        if (answer.HasCertSso()) {
            StoreCertSso(creds, answer);
            creds.certificateSsoId = answer.certificateSsoId;
            creds.reportErrors = answer.reportErrors;
        }
        if (!answer.whfbCertPin.empty()) {
            creds.whfbCertPin = answer.whfbCertPin;
            creds.whfbCertCtxId = answer.whfbCertCtxId;
        }
        return true;
    }
    if (!answer.smartCardPin.empty()) {
        LogMessage(LOG_TRACE, L"%s (sessionId=%d) got a smart card PIN.", L"GetCredentialsForSimpleToken",
                   SessionIdForLog());
        StoreCertificateAccount(creds, answer, L"", L"");
        if (!StoreSmartCard(creds, answer)) return false;
        if (answer.hasUpnBag) {
            std::wstring listing;
            for (const auto& [name, value] : answer.upns) listing += name + L"=" + value + L"\r\n";
            LogMessage(LOG_TRACE, L"Principal name list %s", listing.c_str());
        }
        return true;
    }
    if (answer.hasEntra) {
        // A new answer replaces the request in flight; pending counts as ready, the tile waits.
        creds.SetEntraContext(std::make_unique<EntraAuth::EntraAsyncCredentialContext>(
            answer.entra, [&creds] { creds.OnEntraAuthComplete(); }));
        const HRESULT status = creds.entraContext->GetStatus();
        creds.credentialsAvailable = status == S_OK || status == E_PENDING;
        return creds.credentialsAvailable;
    }
    if (!answer.password.empty()) {
        LogMessage(LOG_TRACE, L"%s (sessionId=%d) got a password.", L"GetCredentialsForSimpleToken", SessionIdForLog());
        StoreUser(creds, answer, L"", L"");
        creds.password = answer.password;  // stays protected until a logon buffer is built
        return true;
    }
    return answer.HasUnauthAccount();
}

// One exchange as SendMsgToDesktopManager makes it; *noAgent when no agent took part: no
// channel, no answer in time, or a channel that broke.
DWORD Send(const wchar_t* messageName, PropertyBag& request, PropertyBag& response, DWORD timeoutMs, bool* noAgent) {
    LogMessage(LOG_TRACE, L"%s(%s) (sessionId=%d) begin", L"SendMsgToDesktopManager", messageName, SessionIdForLog());
    DWORD result;
    try {
        result = DesktopManagerTransport().Send(messageName, request, response, timeoutMs);
    } catch (const coreException& e) {
        LogMessage(LOG_ERROR, L"Exception in SendMsgToDesktopManager: %S", e.what());
        throw coreException(e.what(), e.code());
    } catch (...) {
        LogMessage(LOG_ERROR, L"Exception in SendMsgToDesktopManager.");
        throw coreException("Exception in SendMsgToDesktopManager.");
    }
    *noAgent = result == kNoChannelToNodeManager || result == RESULT_TIMEOUT || result == RESULT_SHUTTING_DOWN;
    if (result == kNoChannelToNodeManager) {
        LogMessage(LOG_TRACE, L"(sessionId=%d) Could not contact node manager", SessionIdForLog());
        result = RESULT_ROUTING_FAILED;
    } else if (result != 0) {
        LogMessage(LOG_DEBUG, L"Call to DesktopManager failed: %s, %u", response.GetErrorDescription().c_str(),
                   static_cast<unsigned>(result));
    }
    LogMessage(LOG_TRACE, L"%s(%s) (sessionId=%d) end", L"SendMsgToDesktopManager", messageName, SessionIdForLog());
    return result;
}

// The ticket lookup. Once an agent failed to answer one, the rest of the logon does not wait
// for it again: three lookups of 30 s each would hold the logon screen for 90 s.
DWORD LookupTicket(PropertyBag& request, PropertyBag& response) {
    Credentials& creds = TheCredentials();
    if (creds.agentUnanswered) {
        LogMessage(LOG_DEBUG,
                   L"GetCredentialsForTicket: (sessionId=%d) the agent did not answer earlier in this logon, not asking again",
                   SessionIdForLog());
        response.Clear();
        return RESULT_ROUTING_FAILED;
    }
    bool noAgent = false;
    DWORD result = Send(L"GetCredentialsForTicket", request, response, kAgentRequestTimeoutMs, &noAgent);
    if (noAgent) creds.agentUnanswered = true;
    return result;
}

}  // namespace

DWORD SendMsgToDesktopManager(const wchar_t* messageName, PropertyBag& request, PropertyBag& response,
                              DWORD timeoutMs) {
    bool noAgent = false;
    return Send(messageName, request, response, timeoutMs, &noAgent);
}

bool GetCredentialsForTicket(PropertyBag& request, PropertyBag& response, bool* found) {
    DWORD result = LookupTicket(request, response);
    bool matched = result == 0 && !response.IsEmpty();
    if (found) *found = matched;
    LogTicketOutcome(matched);
    return result == 0;
}

bool GetCredentialsForSimpleToken(const std::wstring& ticket, Credentials& creds) {
    SysMsgUtl::FunctionTraceWithSessionId trace("GetCredentialsForSimpleToken");
    PropertyBag request;
    request.Set(L"sessionId", std::to_wstring(GetSessionId()));
    request.Set(L"processId", std::to_wstring(::GetCurrentProcessId()));
    request.Set(L"userName", L"");
    request.Set(L"domainName", L"");
    request.Set(L"ticket", ticket);
    request.Set(L"certssoUnlock", creds.IsCertSsoUnlock() ? L"true" : L"false");
    request.Set(L"whfbCertssoUnlock", creds.IsWhfbCertSsoUnlock() ? L"true" : L"false");
    request.Set(L"entrassoUnlock", creds.IsEntraUnlock() ? L"true" : L"false");

    PropertyBag bag;
    DWORD result = LookupTicket(request, bag);
    creds.ticketFound = result == 0 && !bag.IsEmpty();
    LogTicketOutcome(creds.ticketFound);
    if (!creds.ticketFound) return false;
    return StoreTicketAnswer(AgentAnswer::Read(bag), creds);
}

bool GetConsoleProtocolCredentials(Credentials& creds) {
    SysMsgUtl::FunctionTraceWithSessionId trace("GetConsoleProtocolCredentials");
    if (!GetCredentialsForSimpleToken(SessionProtocolTicket(), creds)) return false;
    std::wstring user;
    if (!creds.upnList.empty()) {
        user = creds.upnList.front();
    } else {
        user = creds.domainName + L"\\" + creds.userName;
        if (!creds.unauthUserName.empty()) user += L" -> " + creds.unauthUserName;
    }
    LogMessage(LOG_TRACE,
               L"GetConsoleProtocolCredentials(): (sessionId=%d) Successfully got credentials for user %s for session "
               L"login",
               SessionIdForLog(), user.c_str());
    return true;
}

bool CheckCertSsoEnabledForSession(Credentials& creds, PropertyBag& response) {
    SysMsgUtl::FunctionTraceWithSessionId trace("CheckCertSsoEnabledForSession");
    const wchar_t* name = L"CheckCertSsoEnabledForSession";
    if (!CheckSessionRequest(name, &creds, response) || !SendSessionRequest(name, response)) return false;
    LogMessage(LOG_TRACE, L"CheckCertSsoEnabledForSession(): (sessionId=%d) Request %s finished successfully",
               SessionIdForLog(), name);
    return true;
}

bool CertSsoUnlockSessionCompleteNotif(Credentials& creds, PropertyBag& response) {
    SysMsgUtl::FunctionTraceWithSessionId trace("CertSsoUnlockSessionCompleteNotif");
    const wchar_t* name = L"CertSsoUnlockSessionCompleteNotif";
    if (!CheckSessionRequest(name, &creds, response)) return false;
    if (creds.sessionGuid.empty()) {
        response.SetError(1, Text(L"Request %s failed, (sessionId=%d) No sessionGuid available to perform CertSSO unlock",
                                  name, SessionIdForLog()));
        return false;
    }
    if (!SendSessionRequest(name, response)) return false;
    LogMessage(LOG_TRACE, L"CertSsoUnlockSessionCompleteNotif(): (sessionId=%d) Request %s finished, sessionGuid: %s",
               SessionIdForLog(), name, creds.sessionGuid.c_str());
    return true;
}

bool NotifyDazSrvCertSsoUnlockAndRefreshTicket(Credentials& creds) {
    SysMsgUtl::FunctionTraceWithSessionId trace("NotifyDazSrvCertSsoUnlockAndRefreshTicket");
    const wchar_t* name = L"NotifyDazSrvCertSsoUnlockAndRefreshTicket";
    PropertyBag answer;
    if (!CheckSessionRequest(name, &creds, answer) || !SendSessionRequest(name, answer)) return false;
    std::wstring guid = answer.Get(L"sessionGuid");
    if (guid.empty()) {
        LogMessage(LOG_ERROR, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket(): Request %s failed, (sessionId=%d) sessionGuid not found",
                   name, SessionIdForLog());
        return false;
    }
    creds.sessionGuid = guid;
    LogMessage(LOG_TRACE, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket(): (sessionId=%d) Request %s finished, sessionGuid: %s",
               SessionIdForLog(), name, guid.c_str());
    return creds.InitCertSsoUnlockEvent(CertSsoUnlockEventName(guid));
}

DWORD GetCertSsoAttempts() {
    std::wstring text = ReadRegistryValue(GetConfigRoot(L"HKLM") + L"\\Agent\\Configuration\\CertSsoAttempts", L"3");
    unsigned long attempts = ParseUInt(text, true);
    if (attempts == 0) return 1;
    if (attempts > 5) return 5;
    return static_cast<DWORD>(attempts);
}

void PopulateCredentials(Credentials& creds) {
    SysMsgUtl::FunctionTraceWithSessionId trace("Credentials::PopulateCredentials");
    creds.ClearCredentials(false);
    if (GetConsoleProtocolCredentials(creds)) {
        LogMessage(LOG_DEBUG, L"Credentials::PopulateCredentials(): Got protocol credentials for sessionId=%d",
                   static_cast<int>(GetSessionId()));
        creds.credentialsAvailable = true;
    }
    if (creds.credentialsAvailable && !creds.smartCardPin.empty()) creds.FindSmartCardCertificate();
}

bool CheckDMIfCertSsoUsed(Credentials& creds) {
    SysMsgUtl::FunctionTraceWithSessionId trace("Credentials::CheckDMIfCertSsoUsed");
    PropertyBag answer;
    if (CheckCertSsoEnabledForSession(creds, answer)) {
        creds.isCertSsoUnlockEnabled = ParseBool(answer.Get(L"isCertSsoUnlockEnabled", L"false"));
        creds.isWhfbCertSsoUnlockEnabled = ParseBool(answer.Get(L"isWhfbCertSsoUnlockEnabled", L"false"));
        creds.isEntraUnlockEnabled = ParseBool(answer.Get(L"isEntraUnlockEnabled", L"false"));
    }
    return creds.isCertSsoUnlockEnabled || creds.isWhfbCertSsoUnlockEnabled || creds.isEntraUnlockEnabled;
}
