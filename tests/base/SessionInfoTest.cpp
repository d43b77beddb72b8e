#include "base/SessionInfo.h"

#include "base/TesselSignal.h"
#include "platform/UniqueResource.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;

class SessionInfoTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSessionIdCache(); }
    void TearDown() override { ResetSessionIdCache(); }
    // The real event standing for "dravikndmg\NotReadyForTessel<session>".
    platform::unique_handle TesselEvent(FakePlatform& f, int session) {
        std::wstring name = f.namespaceEventPrefix + L"dravikndmg.NotReadyForTessel" + std::to_wstring(session);
        return platform::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    }
    static bool IsSet(const platform::unique_handle& event) { return ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }

    testsupport::RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
};

// Read once per process; an unreadable id is 0 for the rest of it.
TEST_F(SessionInfoTest, SessionIdIsReadOnceAndCached) {
    fake.sessionId = 7;
    EXPECT_EQ(GetSessionId(), 7u);
    fake.sessionId = 9;
    EXPECT_EQ(GetSessionId(), 7u);
    EXPECT_EQ(EnumerateEventName() + L" " + SessionProtocolTicket(),
              L"Global\\Velmora.Zephral.CredProvEnumerateEvent.7 SESSION_PROTOCOL_TICKET_7");
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

// The whole text compared ignoring case; absent is DESKTOP; the policy key wins.
TEST_F(SessionInfoTest, ApplicationSessionTypeComparesWholeTextIgnoringCaseAndHonoursPolicy) {
    fake.sessionId = 5;
    EXPECT_FALSE(isApplicationSession());
    for (const wchar_t* value : {L"application", L"APPLICATION", L"APPLICATIONS", L"APPLICATIO", L"DESKTOP", L""}) {
        registry.SetString(L"Software\\Velmora\\Zephral\\SessionData\\5", L"LumoClient_Launch_SessionType", value);
        EXPECT_EQ(isApplicationSession(), _wcsicmp(value, L"application") == 0) << value;
    }
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\SessionData\\5", L"LumoClient_Launch_SessionType",
                       L"Application");
    EXPECT_TRUE(isApplicationSession());
}

TEST_F(SessionInfoTest, OsLevelFollowsVersionAndEdition) {
    constexpr BYTE kWs = VER_NT_WORKSTATION, kSrv = VER_NT_SERVER, kDc = VER_NT_DOMAIN_CONTROLLER;
    constexpr DWORD kNt = VER_PLATFORM_WIN32_NT;
    const struct {
        DWORD platform, major, minor;
        BYTE type;
        int level;
    } kCases[] = {{VER_PLATFORM_WIN32_WINDOWS, 4, 10, kWs, 0},
                  {kNt, 4, 0, kSrv, 1}, {kNt, 5, 0, kWs, 2}, {kNt, 5, 1, kWs, 3}, {kNt, 5, 2, kWs, 3},
                  {kNt, 5, 2, kSrv, 4}, {kNt, 6, 0, kWs, 5}, {kNt, 6, 0, kSrv, 6}, {kNt, 6, 1, kWs, 7},
                  {kNt, 6, 1, kDc, 8}, {kNt, 6, 2, kWs, 9}, {kNt, 6, 2, kSrv, 10}, {kNt, 6, 3, kWs, 11},
                  {kNt, 6, 3, kSrv, 12}, {kNt, 10, 0, kWs, 13}, {kNt, 10, 0, kSrv, 14}, {kNt, 11, 0, kWs, 15},
                  {kNt, 5, 3, kWs, 15}, {kNt, 6, 4, kSrv, 15}};
    for (const auto& c : kCases) {
        fake.os.platformId = c.platform, fake.os.major = c.major, fake.os.minor = c.minor, fake.os.productType = c.type;
        EXPECT_EQ(GetOsLevel(), c.level) << c.major << "." << c.minor << " type " << int(c.type);
    }
}

// Without a session id the current session's event is signalled, else that session's.
TEST_F(SessionInfoTest, TesselSignalReachesTheSessionsEventInsideTheNamespace) {
    fake.sessionId = 4;
    auto mine = TesselEvent(fake, 4), other = TesselEvent(fake, 12);
    ASSERT_TRUE(mine && other);
    EXPECT_TRUE(SignalTesselEvent(L"NotReadyForTessel", true, 0xFFFFFFFF));
    EXPECT_TRUE(IsSet(mine) && !IsSet(other));
    ASSERT_EQ(fake.openedEventNames.size(), 1u);
    EXPECT_EQ(fake.openedEventNames[0], L"dravikndmg\\NotReadyForTessel4");
    ::ResetEvent(mine.get());
    EXPECT_TRUE(SignalTesselEvent(L"NotReadyForTessel", true, 12));
    EXPECT_TRUE(IsSet(other) && !IsSet(mine));
}

TEST_F(SessionInfoTest, TesselSignalNamespaceAndSessionFailures) {
    const struct {
        const char* what;
        void (*arrange)(FakePlatform&);
        bool signalled;
        const wchar_t* line;
    } kCases[] = {
        {"level 3 system", [](FakePlatform& f) { f.os.major = 5, f.os.minor = 1; }, false,
         L"SignalTesselEvent: XP or earlier agent, so not signaling private event."},
        {"no namespace API", [](FakePlatform& f) { f.namespaceApiPresent = false; }, false,
         L"SignalTesselEvent: XP or earlier agent, so not opening private namespace."},
        {"namespace already open in the process",
         [](FakePlatform& f) { f.openPrivateNamespaceFails = true, f.openPrivateNamespaceError = ERROR_DUP_NAME; },
         true, nullptr},
        {"namespace refused",
         [](FakePlatform& f) { f.openPrivateNamespaceFails = true, f.openPrivateNamespaceError = ERROR_ACCESS_DENIED; },
         false, L"SignalTesselEvent: Failed to open private namespace dravikndmg ("},
        {"unreadable session", [](FakePlatform& f) { f.sessionIdError = ERROR_ACCESS_DENIED; }, false,
         L"Unable to retrieve current session ID with error 0x00000005."},
        {"no event", [](FakePlatform& f) { f.sessionId = 77; }, false,
         L"SignalTesselEvent: Failed to open event dravikndmg\\NotReadyForTessel77."},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        ResetSessionIdCache();
        FakePlatform local;
        LogCapture lines;
        c.arrange(local);
        auto event = TesselEvent(local, 2);
        EXPECT_EQ(SignalTesselEvent(L"NotReadyForTessel", true, 0xFFFFFFFF), c.signalled);
        EXPECT_EQ(IsSet(event), c.signalled);
        EXPECT_TRUE(c.signalled || c.arrange == kCases[5].arrange || local.openedEventNames.empty());
        EXPECT_TRUE(c.arrange != kCases[0].arrange || local.namespaceCalls.load() == 0);
        EXPECT_TRUE(!c.line || lines.Contains(c.line));
    }
    FakePlatform again;  // each row's fake left none behind
    SignalNotReadyForTessel("credprovider::GetCredentialCount");
    EXPECT_TRUE(log.Contains(L"credprovider::GetCredentialCount : Failed to signal that we are not ready for "
                             L"seamless windows. DRV app session may not be active."));
}

}  // namespace
