// Signals a per-session event in the agent's private object namespace; the module uses it to
// tell the seamless-window component that the logon screen is not ready for seamless windows.
#pragma once
#include <windows.h>

// Opens "<namespace>\<eventName><sessionId>" and sets it. sessionId 0xFFFFFFFF means the
// current session; openNamespace opens the agent's private namespace first.
bool SignalTesselEvent(const wchar_t* eventName, bool openNamespace, DWORD sessionId) noexcept;

// SignalTesselEvent("NotReadyForTessel", open namespace, current session), logging a failure
// under the caller's function name.
void SignalNotReadyForTessel(const char* callerFunction) noexcept;
