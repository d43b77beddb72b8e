// What the stand-in desktop manager does beyond answering, as a scenario entry asks:
//
//   <ITEM name="protect">password,smartCardPIN,whfbCertPin</ITEM>
//       these answer items go out as protected payloads (key "SSO", scheme "AES"), made with the
//       same key vault the module deciphers with; the scenario holds them in clear text
//   <ITEM name="signalUnlockAfterMs">300</ITEM>
//       that long after answering, sets "Global\Velmora.Zephral.CredProvCertSsoUnlockEvent.<g>"
//       where <g> is the answer's "sessionGuid" (the go-ahead for a CertSSO or Entra unlock)
//   <ITEM name="signalEnumerateAfterMs">300</ITEM>
//       that long after answering, sets "Global\Velmora.Zephral.CredProvEnumerateEvent.<n>"
//       where <n> is the request's "sessionId" (new credentials for the session)
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"

#include <string>

namespace agentsim {

// Replaces the listed items of `answer` by their protected form; false (with `error`) when
// the key vault could not protect one.
bool ProtectListedSecrets(const CORE::PropertyBag& entry, CORE::PropertyBag& answer, std::wstring* error);
// Starts the delayed signals the entry asks for.
void ScheduleSignals(const CORE::PropertyBag& entry, const CORE::PropertyBag& request, const CORE::PropertyBag& answer);

}  // namespace agentsim
