// The simulated system of the _sim DLL: answers come from a registry key of the test prefix
// and actions are recorded there, so end-to-end tests can steer and observe the module.
//
// Key: HKLM\<TCFILTR_SIM_KEY, default Software\TcfiltrSim>. Answers (all optional; an absent
// value gives the real session id, console session and host path, client protocol 2 (RDP),
// connect state WTSActive, no user, and a Windows 10 workstation):
//   SessionId, ConsoleSessionId, ClientProtocol, ConnectState   REG_DWORD
//   ClientProtocolError, ConnectStateError, UserNameError        REG_DWORD: the query fails with it
//   UserName, HostExecutable                                     REG_SZ
//   OsMajor, OsMinor, OsBuild, OsProductType, OsSuiteMask        REG_DWORD
//   NamespaceApiMissing                                          REG_DWORD: 1 = kernel32 lacks it
// Records, under the subkey Record:
//   TerminateCount, TerminateExitCode                            REG_DWORD
//   TesselSignalCount REG_DWORD, TesselLastEvent REG_SZ
//   EventCount, EventType, EventCategory, EventId REG_DWORD, EventText REG_SZ (the last event)
// Events opened inside a private namespace are plain named events whose name has every
// backslash replaced by '.', prefixed with "TcfiltrSim." (e.g. TcfiltrSim.dravikndmg.NotReadyForTessel2).
#pragma once
#include <string>

namespace platform::sim {

std::wstring SimKeyPath();
std::wstring NamespaceEventName(const wchar_t* nameInNamespace);

}  // namespace platform::sim
