#include "platform/VersionCheck.h"

#include <gtest/gtest.h>

namespace {

using platform::EvaluateVersionCondition;
using platform::OsFacts;

OSVERSIONINFOEXW Info(DWORD major, DWORD minor) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    return info;
}

TEST(VersionCheck, ComparesMajorAndMinorAsOneNumber) {
    OsFacts facts;
    facts.major = 6;
    facts.minor = 3;
    DWORDLONG ge = ::VerSetConditionMask(::VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL),
                                         VER_MINORVERSION, VER_GREATER_EQUAL);
    auto info = Info(10, 0);
    EXPECT_FALSE(EvaluateVersionCondition(facts, info, VER_MAJORVERSION | VER_MINORVERSION, ge));
    info = Info(6, 1);
    EXPECT_TRUE(EvaluateVersionCondition(facts, info, VER_MAJORVERSION | VER_MINORVERSION, ge));
    // 10.0 is above 6.3 although its minor version is lower.
    facts.major = 10;
    facts.minor = 0;
    info = Info(6, 3);
    EXPECT_TRUE(EvaluateVersionCondition(facts, info, VER_MAJORVERSION | VER_MINORVERSION, ge));
}

TEST(VersionCheck, SuiteAndMeansEveryBitOrMeansAny) {
    OsFacts facts;
    facts.suiteMask = VER_SUITE_TERMINAL;
    OSVERSIONINFOEXW info = Info(0, 0);
    info.wSuiteMask = VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS;
    EXPECT_FALSE(EvaluateVersionCondition(facts, info, VER_SUITENAME, ::VerSetConditionMask(0, VER_SUITENAME, VER_AND)));
    EXPECT_TRUE(EvaluateVersionCondition(facts, info, VER_SUITENAME, ::VerSetConditionMask(0, VER_SUITENAME, VER_OR)));
}

TEST(VersionCheck, MismatchSetsOldWinVersion) {
    OsFacts facts;
    facts.productType = VER_NT_SERVER;
    OSVERSIONINFOEXW info = Info(0, 0);
    info.wProductType = VER_NT_WORKSTATION;
    ::SetLastError(0);
    EXPECT_FALSE(EvaluateVersionCondition(facts, info, VER_PRODUCT_TYPE,
                                          ::VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL)));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
}

}  // namespace
