// Puts the process-wide credentials record back to its start state, session-wide facts
// included, so one test's logon leaves nothing behind for the next.
#pragma once
#include "sso/Credentials.h"

namespace testsupport {

inline void ResetCredentials() {
    Credentials& c = TheCredentials();
    c.ClearCredentials(true);
    c.agentUnanswered = false;
    c.certLogon.containerName.clear();
    c.certLogon.pin.Wipe();
    c.isUnlockScenario = c.isCertSsoUnlockEnabled = c.isWhfbCertSsoUnlockEnabled = c.isEntraUnlockEnabled = false;
}

}  // namespace testsupport
