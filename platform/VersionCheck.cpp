#include "VersionCheck.h"

namespace platform {
namespace {

// VerSetConditionMask keeps three bits per type, in the order of the type bits.
BYTE ConditionFor(DWORDLONG mask, DWORD typeBit) {
    int index = 0;
    while (typeBit > 1) {
        typeBit >>= 1;
        ++index;
    }
    return static_cast<BYTE>((mask >> (index * 3)) & 7);
}

bool Compare(DWORDLONG actual, DWORDLONG wanted, BYTE condition) {
    switch (condition) {
    case VER_EQUAL: return actual == wanted;
    case VER_GREATER: return actual > wanted;
    case VER_GREATER_EQUAL: return actual >= wanted;
    case VER_LESS: return actual < wanted;
    case VER_LESS_EQUAL: return actual <= wanted;
    default: return false;
    }
}

}  // namespace

BOOL EvaluateVersionCondition(const OsFacts& facts, const OSVERSIONINFOEXW& info,
                              DWORD typeMask, DWORDLONG conditionMask) {
    if (typeMask == 0 || conditionMask == 0) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    bool ok = true;
    if (typeMask & VER_PLATFORMID)
        ok = ok && Compare(facts.platformId, info.dwPlatformId, ConditionFor(conditionMask, VER_PLATFORMID));
    if (typeMask & VER_BUILDNUMBER)
        ok = ok && Compare(facts.build, info.dwBuildNumber, ConditionFor(conditionMask, VER_BUILDNUMBER));
    // Major, minor and service pack form one version number, compared as a whole with the
    // condition of the most significant part that was given.
    const DWORD versionBits = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
    if (typeMask & versionBits) {
        DWORD lead = (typeMask & VER_MAJORVERSION) ? VER_MAJORVERSION
                     : (typeMask & VER_MINORVERSION) ? VER_MINORVERSION
                     : (typeMask & VER_SERVICEPACKMAJOR) ? VER_SERVICEPACKMAJOR
                                                         : VER_SERVICEPACKMINOR;
        BYTE condition = ConditionFor(conditionMask, lead);
        auto pack = [&](DWORD major, DWORD minor, WORD spMajor, WORD spMinor) {
            DWORDLONG v = 0;
            v |= (typeMask & VER_MAJORVERSION) ? (DWORDLONG(major & 0xFFFF) << 48) : 0;
            v |= (typeMask & VER_MINORVERSION) ? (DWORDLONG(minor & 0xFFFF) << 32) : 0;
            v |= (typeMask & VER_SERVICEPACKMAJOR) ? (DWORDLONG(spMajor) << 16) : 0;
            v |= (typeMask & VER_SERVICEPACKMINOR) ? DWORDLONG(spMinor) : 0;
            return v;
        };
        ok = ok && Compare(pack(facts.major, facts.minor, facts.servicePackMajor, facts.servicePackMinor),
                           pack(info.dwMajorVersion, info.dwMinorVersion, info.wServicePackMajor,
                                info.wServicePackMinor),
                           condition);
    }
    if (typeMask & VER_PRODUCT_TYPE)
        ok = ok && Compare(facts.productType, info.wProductType, ConditionFor(conditionMask, VER_PRODUCT_TYPE));
    if (typeMask & VER_SUITENAME) {
        BYTE condition = ConditionFor(conditionMask, VER_SUITENAME);
        WORD wanted = info.wSuiteMask;
        if (condition == VER_AND) ok = ok && (facts.suiteMask & wanted) == wanted;
        else if (condition == VER_OR) ok = ok && (facts.suiteMask & wanted) != 0;
        else ok = false;
    }
    if (!ok) SetLastError(ERROR_OLD_WIN_VERSION);
    return ok ? TRUE : FALSE;
}

}  // namespace platform
