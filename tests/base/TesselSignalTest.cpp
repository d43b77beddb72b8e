#include "base/TesselSignal.h"

#include "platform/UniqueResource.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;

class TesselSignalTest : public ::testing::Test {
protected:
    // The real event standing for "<namespace>\<name><session>".
    platform::unique_handle CreateNamespaceEvent(const std::wstring& nameInNamespace) {
        std::wstring mapped = fake.namespaceEventPrefix;
        for (wchar_t c : nameInNamespace) mapped.push_back(c == L'\\' ? L'.' : c);
        return platform::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, mapped.c_str()));
    }
    static bool IsSet(const platform::unique_handle& event) { return ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }

    FakePlatform fake;
    LogCapture log;
};

// Without a session id the current session's event is signalled, else that session's.
TEST_F(TesselSignalTest, SignalsTheSessionsEventInsideTheNamespace) {
    fake.sessionId = 4;
    auto mine = CreateNamespaceEvent(L"dravikndmg\\NotReadyForTessel4");
    auto other = CreateNamespaceEvent(L"dravikndmg\\NotReadyForTessel12");
    ASSERT_TRUE(mine && other);
    EXPECT_TRUE(SignalTesselEvent(L"NotReadyForTessel", true, 0xFFFFFFFF));
    EXPECT_TRUE(IsSet(mine));
    EXPECT_FALSE(IsSet(other));
    ASSERT_EQ(fake.openedEventNames.size(), 1u);
    EXPECT_EQ(fake.openedEventNames[0], L"dravikndmg\\NotReadyForTessel4");
    ::ResetEvent(mine.get());
    EXPECT_TRUE(SignalTesselEvent(L"NotReadyForTessel", true, 12));
    EXPECT_TRUE(IsSet(other));
    EXPECT_FALSE(IsSet(mine));
}

TEST_F(TesselSignalTest, NamespaceAndSessionFailures) {
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
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        FakePlatform local;
        LogCapture lines;
        c.arrange(local);
        auto event = CreateNamespaceEvent(L"dravikndmg\\NotReadyForTessel2");
        EXPECT_EQ(SignalTesselEvent(L"NotReadyForTessel", true, 0xFFFFFFFF), c.signalled);
        EXPECT_EQ(IsSet(event), c.signalled);
        EXPECT_TRUE(c.signalled || local.openedEventNames.empty());
        EXPECT_TRUE(c.arrange != kCases[0].arrange || local.namespaceCalls.load() == 0);
        EXPECT_TRUE(!c.line || lines.Contains(c.line));
    }
}

TEST_F(TesselSignalTest, WrapperLogsWhenNoEventExists) {
    SignalNotReadyForTessel("credprovider::GetCredentialCount");
    EXPECT_TRUE(log.Contains(L"SignalTesselEvent: Failed to open event dravikndmg\\NotReadyForTessel2."));
    EXPECT_TRUE(log.Contains(L"credprovider::GetCredentialCount : Failed to signal that we are not ready for "
                             L"seamless windows. DRV app session may not be active."));
}

}  // namespace
