// Values shared by the logon buffer builders: the message types the Kerberos package accepts
// and the Win32 results the builders return.
#pragma once
#include <windows.h>

#include <string>

namespace logon {

// KERB_LOGON_SUBMIT_TYPE values.
inline constexpr ULONG kKerbInteractiveLogon = 2;
inline constexpr ULONG kKerbWorkstationUnlockLogon = 7;
inline constexpr ULONG kKerbCertificateLogon = 13;
inline constexpr ULONG kKerbCertificateUnlockLogon = 15;

// Builders return 0, ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER (with the size needed
// stored), ERROR_ARITHMETIC_OVERFLOW when the sizes given cannot make a buffer, or this for a
// result that cannot happen.
inline constexpr DWORD kUnexpectedResult = 1;

// The system's text for a result, for log lines; empty when even that cannot be had.
std::wstring ResultText(DWORD code) noexcept;

}  // namespace logon
