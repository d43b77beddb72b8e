// The requests the module sends to the agent's desktop manager (queue "DesktopManager") and
// how their answers turn into the credentials record. Every request waits at most 30000 ms.
#pragma once
#include <windows.h>

#include <string>

namespace CORE {
class PropertyBag;
}
class Credentials;

constexpr DWORD kAgentRequestTimeoutMs = 30000;

// One exchange: 0 on success, else the framework's result code; 2 when no channel could be
// opened. Library exceptions are logged and raised again as library exceptions.
DWORD SendMsgToDesktopManager(const wchar_t* messageName, CORE::PropertyBag& request, CORE::PropertyBag& response,
                              DWORD timeoutMs);
// Asks the agent for this session's SSO material; the outcome is creds.credentialsAvailable.
void PopulateCredentials(Credentials& creds);
// Asks the agent which unlock kinds are enabled; true when any is (after the request).
bool CheckDMIfCertSsoUsed(Credentials& creds);
// "GetCredentialsForTicket"; *found when the exchange succeeded with a non-empty answer.
bool GetCredentialsForTicket(CORE::PropertyBag& request, CORE::PropertyBag& response, bool* found);
// The tile's own ticket request; true when the record now holds usable credentials.
bool GetCredentialsForSimpleToken(const std::wstring& ticket, Credentials& creds);
// GetCredentialsForSimpleToken with "SESSION_PROTOCOL_TICKET_<session id>".
bool GetConsoleProtocolCredentials(Credentials& creds);
bool CheckCertSsoEnabledForSession(Credentials& creds, CORE::PropertyBag& response);
bool CertSsoUnlockSessionCompleteNotif(Credentials& creds, CORE::PropertyBag& response);
// Stores the fresh sessionGuid and creates the CertSSO unlock event named after it.
bool NotifyDazSrvCertSsoUnlockAndRefreshTicket(Credentials& creds);
// CertSsoAttempts (plain read, default 3), clamped to 1..5.
DWORD GetCertSsoAttempts();
