#include "base/SessionInfo.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

class SessionInfoTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSessionIdCache(); }
    void TearDown() override { ResetSessionIdCache(); }
    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
};

// Read once per process; an unreadable id is 0 for the rest of it.
TEST_F(SessionInfoTest, SessionIdIsReadOnceAndCached) {
    fake.sessionId = 7;
    EXPECT_EQ(GetSessionId(), 7u);
    fake.sessionId = 9;
    EXPECT_EQ(GetSessionId(), 7u);
    EXPECT_EQ(EnumerateEventName(), L"Global\\Velmora.Zephral.CredProvEnumerateEvent.7");
    EXPECT_EQ(SessionProtocolTicket(), L"SESSION_PROTOCOL_TICKET_7");
    ResetSessionIdCache();
    fake.sessionIdError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(GetSessionId(), 0u);
    fake.sessionIdError = 0;
    EXPECT_EQ(GetSessionId(), 0u);
}

TEST_F(SessionInfoTest, OnlyProtocolThreeIsADrvSession) {
    const struct {
        USHORT protocol;
        DWORD error;
        bool drv;
    } kCases[] = {{0, 0, false}, {1, 0, false}, {2, 0, false}, {4, 0, false}, {3, 0, true}, {3, ERROR_ACCESS_DENIED, false}};
    for (const auto& c : kCases) {
        fake.clientProtocol = c.protocol;
        fake.clientProtocolError = c.error;
        USHORT protocol = 99;
        EXPECT_EQ(GetSessionProtocol(&protocol), c.error == 0);
        EXPECT_EQ(protocol, c.error ? 0 : c.protocol);
        EXPECT_EQ(IsDRVProtocolSession(), c.drv) << c.protocol << " " << c.error;
    }
}

TEST_F(SessionInfoTest, ApplicationSessionTypeComparesWholeTextIgnoringCaseAndHonoursPolicy) {
    fake.sessionId = 5;
    const std::wstring key = L"Software\\Velmora\\Zephral\\SessionData\\5";
    EXPECT_FALSE(isApplicationSession());  // absent: DESKTOP
    struct Case {
        const wchar_t* value;
        bool application;
    } cases[] = {{L"application", true}, {L"APPLICATION", true}, {L"APPLICATIONS", false},
                 {L"APPLICATIO", false}, {L"DESKTOP", false},    {L"", false}};
    for (const auto& c : cases) {
        registry.SetString(key, L"LumoClient_Launch_SessionType", c.value);
        EXPECT_EQ(isApplicationSession(), c.application) << c.value;
    }
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\SessionData\\5", L"LumoClient_Launch_SessionType",
                       L"Application");
    EXPECT_TRUE(isApplicationSession());
}

struct OsCase {
    DWORD platform;
    DWORD major;
    DWORD minor;
    BYTE productType;
    int level;
};

void PrintTo(const OsCase& c, std::ostream* os) {
    *os << c.major << "." << c.minor << " type " << int(c.productType) << " -> " << c.level;
}

class OsLevelTest : public ::testing::TestWithParam<OsCase> {};

TEST_P(OsLevelTest, MapsVersionAndEditionToLevel) {
    FakePlatform fake;
    const OsCase& c = GetParam();
    fake.os.platformId = c.platform;
    fake.os.major = c.major;
    fake.os.minor = c.minor;
    fake.os.productType = c.productType;
    EXPECT_EQ(GetOsLevel(), c.level);
}

constexpr BYTE kWs = VER_NT_WORKSTATION;
constexpr BYTE kSrv = VER_NT_SERVER;
constexpr BYTE kDc = VER_NT_DOMAIN_CONTROLLER;
constexpr DWORD kNt = VER_PLATFORM_WIN32_NT;

INSTANTIATE_TEST_SUITE_P(Table, OsLevelTest,
                         ::testing::Values(OsCase{VER_PLATFORM_WIN32_WINDOWS, 4, 10, kWs, 0},
                                           OsCase{kNt, 4, 0, kSrv, 1}, OsCase{kNt, 5, 0, kWs, 2},
                                           OsCase{kNt, 5, 1, kWs, 3}, OsCase{kNt, 5, 2, kWs, 3},
                                           OsCase{kNt, 5, 2, kSrv, 4}, OsCase{kNt, 6, 0, kWs, 5},
                                           OsCase{kNt, 6, 0, kSrv, 6}, OsCase{kNt, 6, 1, kWs, 7},
                                           OsCase{kNt, 6, 1, kDc, 8}, OsCase{kNt, 6, 2, kWs, 9},
                                           OsCase{kNt, 6, 2, kSrv, 10}, OsCase{kNt, 6, 3, kWs, 11},
                                           OsCase{kNt, 6, 3, kSrv, 12}, OsCase{kNt, 10, 0, kWs, 13},
                                           OsCase{kNt, 10, 0, kSrv, 14}, OsCase{kNt, 11, 0, kWs, 15},
                                           OsCase{kNt, 5, 3, kWs, 15}, OsCase{kNt, 6, 4, kSrv, 15}));

}  // namespace
