#include "base/SessionInfo.h"

#include "base/LogonMonitor.h"
#include "base/TesselSignal.h"
#include "platform/UniqueResource.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;

DWORD U32(const BYTE* at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (DWORD(at[3]) << 24); }

std::wstring Utf16At(const LogonMonitorRecord& record, size_t offset) {
    std::wstring text;
    for (size_t i = offset; i + 1 < offset + 1024 && (record[i] || record[i + 1]); i += 2)
        text.push_back(static_cast<wchar_t>(record[i] | (record[i + 1] << 8)));
    return text;
}

TEST(LogonMonitorRecord, LaysOutTheFieldsAtTheirOffsets) {
    LogonMonitorRecord record;
    record.fill(0xCC);
    BuildLogonMonitorRecord(7, 0x1234, kLogonMonitorEnd, 0x0102030405060708ull, L"Lumo Agent", L"tcfiltr", L"SSO",
                            &record);
    EXPECT_EQ(record.size(), 3092u);
    EXPECT_EQ(std::vector<DWORD>({U32(&record[0]), U32(&record[4]), U32(&record[8]), U32(&record[12]), U32(&record[16])}),
              std::vector<DWORD>({7, 0x1234, 2, 0x05060708, 0x01020304}));
    EXPECT_EQ(Utf16At(record, 20) + L"|" + Utf16At(record, 1044) + L"|" + Utf16At(record, 2068), L"Lumo Agent|tcfiltr|SSO");
    // Everything after a text is zero; a long text keeps 511 characters and its terminator.
    EXPECT_EQ(record[3091], 0);
    BuildLogonMonitorRecord(1, 1, kLogonMonitorNotify, 0, std::wstring(600, L'x').c_str(), L"c", L"e", &record);
    EXPECT_EQ(Utf16At(record, 20), std::wstring(511, L'x'));
    EXPECT_EQ(record[20 + 1022], 0);
    EXPECT_EQ(record[20 + 1023], 0);
    EXPECT_EQ(Utf16At(record, 1044), L"c");
}

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

TEST_F(SessionInfoTest, LogonMonitorWritesEachKindWithItsOpcodeAndTheProcessSession) {
    fake.sessionId = 9;
    ::SetLastError(1234);
    LogonMonitorNotify(L"Lumo Agent", L"tcfiltr", L"TCFILTR_ATTACHED");
    LogonMonitorBegin(L"Lumo Agent", L"tcfiltr", L"SSO");
    LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO", 4);
    EXPECT_EQ(::GetLastError(), 1234u);
    std::wstring events;  // id/version/opcode, size, session, own process, kind
    for (const auto& e : fake.etwEvents)
        events += std::to_wstring(e.descriptor.Id) + L"/" + std::to_wstring(e.descriptor.Version) + L"/" +
                  std::to_wstring(e.descriptor.Opcode) + L" " + std::to_wstring(e.data.size()) + L" " +
                  std::to_wstring(U32(&e.data[0])) + L" " + std::to_wstring(U32(&e.data[4]) == ::GetCurrentProcessId()) +
                  L" " + std::to_wstring(U32(&e.data[8])) + L";";
    EXPECT_EQ(events, L"16/1/3 3092 9 1 0;16/1/1 3092 9 1 1;16/1/2 3092 4 1 2;");
    EXPECT_EQ(fake.eventRegistrations.load(), 1);
    ShutdownLogonMonitor();
    EXPECT_EQ(fake.eventUnregistrations.load(), 1);
    // Torn down for good: nothing more is written or registered.
    LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO");
    EXPECT_EQ(fake.etwEvents.size(), 3u);
    EXPECT_EQ(fake.eventRegistrations.load(), 1);
}

// An empty text and a failed registration fail quietly: nothing is written, one line is logged.
TEST_F(SessionInfoTest, LogonMonitorEmptyTextsAndAFailedRegistrationWriteNothing) {
    fake.eventRegisterResult = ERROR_ACCESS_DENIED;
    LogonMonitorBegin(L"Lumo Agent", L"tcfiltr", L"SSO");
    LogonMonitorNotify(L"Lumo Agent", L"", L"X");
    EXPECT_TRUE(log.Contains(L"dvlm -  Failed Sending X_NOTIFY: 0x80070057", CORE::LOG_INFO));
    EXPECT_TRUE(fake.etwEvents.empty());
    EXPECT_TRUE(log.Contains(L"dvlm - tcfiltr Failed Sending SSO_BEGIN: 0x80004005"));
}

}  // namespace
