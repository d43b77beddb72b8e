// Texts of system error codes and status values, for log lines.
#pragma once
#include <windows.h>

#include <string>

namespace CORE {

// The system's message for a Win32 error code, without the trailing line break; the number in
// hexadecimal when the system has no text for it.
std::wstring SystemErrorText(DWORD code);

// A GUID in registry form: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::wstring GuidToString(const GUID& guid);

}  // namespace CORE
