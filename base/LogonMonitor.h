// Logon-monitor events: an ETW provider through which the module marks its attachment to a
// process and the start and end of each SSO attempt, for the agent's logon monitoring.
//
// Provider {0D5380E5-A6BA-4CFC-B31E-484C775E4DB9}; event id 16, version 1, channel/level/task/
// keyword 0, opcode by kind (NOTIFY 3, BEGIN 1, END 2, other 4). One data item, 3092 bytes,
// little-endian, no padding:
//   0    u32   session id (the caller's, or the process's for 0xFFFFFFFF)
//   4    u32   process id
//   8    u32   kind: 0 NOTIFY, 1 BEGIN, 2 END
//   12   u64   FILETIME of the local time
//   20   1024  source, UTF-16, zero-terminated, at most 511 characters kept
//   1044 1024  component, same form
//   2068 1024  event name, same form
#pragma once
#include <windows.h>

#include <array>

enum LogonMonitorKind : DWORD { kLogonMonitorNotify = 0, kLogonMonitorBegin = 1, kLogonMonitorEnd = 2 };

constexpr size_t kLogonMonitorRecordSize = 3092;
using LogonMonitorRecord = std::array<BYTE, kLogonMonitorRecordSize>;

// Fills the record; `localTime` is a FILETIME of the local time.
void BuildLogonMonitorRecord(DWORD sessionId, DWORD processId, DWORD kind, ULONGLONG localTime, const wchar_t* source,
                             const wchar_t* component, const wchar_t* eventName, LogonMonitorRecord* record) noexcept;

// The writers: never fail toward the caller and keep the caller's last-error value.
void LogonMonitorNotify(const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
                        DWORD sessionId = 0xFFFFFFFF) noexcept;
void LogonMonitorBegin(const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
                       DWORD sessionId = 0xFFFFFFFF) noexcept;
void LogonMonitorEnd(const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
                     DWORD sessionId = 0xFFFFFFFF) noexcept;

// Unregisters the provider; no event is written (and no client created) afterwards.
void ShutdownLogonMonitor() noexcept;
