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
//   MessageBoxCount, MessageBoxStyle, DisconnectCount, DisconnectWaited REG_DWORD;
//   MessageBoxText, MessageBoxCaption REG_SZ (the box is recorded, never shown)
//   LogonMonitorEventCount, LogonMonitorLastOpcode REG_DWORD; LogonMonitorLastEvent REG_BINARY
//   (the event record as written)

// Logon buffers:
//   CredProtectError                                             REG_DWORD: CredProtectW fails with it
//   CredProtectW answers with the reversible form of SimProtectedForm.h ("@@TCSIM" + Base64 of
//   the UTF-16LE text), so logonsim can recover what was protected.
//   Authentication package ids (names compared without case): Negotiate 0, NTLM 1, Kerberos 2,
//   CloudAP 4, LUMO_AUTHENTICATION_PACKAGE_V1_0 7; any other name fails with
//   STATUS_NO_SUCH_PACKAGE (0xC00000FE). Per package <name>:
//   AuthPackage.<name>                                           REG_DWORD: the id instead
//   AuthPackageStatus.<name>                                     REG_DWORD: the lookup fails with it

// Entra join information:
//   AadJoinError                                                 REG_DWORD: the call fails with this HRESULT
//   AadJoinType                                                  REG_DWORD: the join type (absent: the real call)
//   AadDeviceId, AadUserEmail, AadJoinUserEmail                  REG_SZ: the device id, the join user's
//   e-mail and the device's join e-mail (each absent: null)

//   EventCount, EventType, EventCategory, EventId REG_DWORD, EventText REG_SZ (the last event)
// Events opened inside a private namespace are plain named events whose name has every
// backslash replaced by '.', prefixed with "TcfiltrSim." (e.g. TcfiltrSim.dravikndmg.NotReadyForTessel2).
// Cards and directory: SimDescriptions.h.
#pragma once
#include <string>

namespace platform::sim {

std::wstring SimKeyPath();
std::wstring NamespaceEventName(const wchar_t* nameInNamespace);

}  // namespace platform::sim
