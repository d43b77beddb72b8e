#include "Credentials.h"

#include "base/SessionInfo.h"
#include "lib/mfw/common/SysMessage.h"

using namespace CORE;

namespace {
Credentials g_credentials;
}

Credentials& TheCredentials() noexcept { return g_credentials; }

Credentials::~Credentials() { ClearCredentials(true); }

void Credentials::ClearCredentials(bool quiet) noexcept {
    if (!quiet) LogMessage(LOG_TRACE, L"%s(): Enter", L"Credentials::ClearCredentials");
    ticketFound = false;
    credentialsAvailable = false;
    if (!quiet) LogMessage(LOG_TRACE, L"%s(): Exit", L"Credentials::ClearCredentials");
}

void Credentials::PopulateCredentials() noexcept {
    SysMsgUtl::FunctionTraceWithSessionId trace("Credentials::PopulateCredentials");
    // No request reaches the agent yet: the record stays as it is, so a tile appears only
    // when something else made credentials available.
    LogMessage(LOG_DEBUG, L"Credentials::PopulateCredentials(): no agent channel, sessionId=%d left unchanged",
               static_cast<int>(GetSessionId()));
}

bool Credentials::CheckDMIfCertSsoUsed() noexcept {
    SysMsgUtl::FunctionTraceWithSessionId trace("Credentials::CheckDMIfCertSsoUsed");
    // Without an answer from the agent the flags keep their previous values.
    return isCertSsoUnlockEnabled || isWhfbCertSsoUnlockEnabled || isEntraUnlockEnabled;
}
