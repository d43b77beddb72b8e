// VerifyVersionInfoW's comparison rules over a given set of version facts, for the
// implementations of the seam that answer for a simulated system.
#pragma once
#include <windows.h>

namespace platform {

struct OsFacts {
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 10;
    DWORD minor = 0;
    DWORD build = 19045;
    WORD servicePackMajor = 0;
    WORD servicePackMinor = 0;
    BYTE productType = VER_NT_WORKSTATION;
    WORD suiteMask = VER_SUITE_SINGLEUSERTS;
};

// Same result and last error as VerifyVersionInfoW would give on a system with these facts.
BOOL EvaluateVersionCondition(const OsFacts& facts, const OSVERSIONINFOEXW& info,
                              DWORD typeMask, DWORDLONG conditionMask);

}  // namespace platform
