#include "platform/VersionCheck.h"

#include <gtest/gtest.h>

namespace {

// Major and minor compare as one number (10.0 is above 6.3); suite AND means every bit, OR any;
// a mismatch sets ERROR_OLD_WIN_VERSION.
TEST(VersionCheck, ComparesLikeVerifyVersionInfo) {
    const DWORDLONG ge = ::VerSetConditionMask(::VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL),
                                               VER_MINORVERSION, VER_GREATER_EQUAL);
    const DWORD kVersion = VER_MAJORVERSION | VER_MINORVERSION;
    const struct { DWORD major, minor, wantMajor, wantMinor, type; WORD suite; DWORDLONG condition; bool met; }
        kCases[] = {
        {6, 3, 10, 0, kVersion, 0, ge, false}, {6, 3, 6, 1, kVersion, 0, ge, true}, {10, 0, 6, 3, kVersion, 0, ge, true},
        {0, 0, 0, 0, VER_SUITENAME, VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, ::VerSetConditionMask(0, VER_SUITENAME, VER_AND), false},
        {0, 0, 0, 0, VER_SUITENAME, VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, ::VerSetConditionMask(0, VER_SUITENAME, VER_OR), true},
        {0, 0, 0, 0, VER_PRODUCT_TYPE, 0, ::VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL), false},
    };
    for (const auto& c : kCases) {
        platform::OsFacts facts;
        facts.major = c.major, facts.minor = c.minor, facts.suiteMask = VER_SUITE_TERMINAL, facts.productType = VER_NT_SERVER;
        OSVERSIONINFOEXW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMajorVersion = c.wantMajor, info.dwMinorVersion = c.wantMinor, info.wSuiteMask = c.suite;
        info.wProductType = VER_NT_WORKSTATION;
        ::SetLastError(0);
        EXPECT_EQ(platform::EvaluateVersionCondition(facts, info, c.type, c.condition), c.met) << c.major << c.type;
        EXPECT_EQ(::GetLastError(), c.met ? 0u : static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
    }
}

}  // namespace
