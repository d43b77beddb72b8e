#include "sso/AgentRequests.h"

#include "base/SessionInfo.h"
#include "lib/mfw/common/PropertyBag.h"
#include "sso/Credentials.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

class AgentRequestsTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSessionIdCache(); }
    void TearDown() override { ResetSessionIdCache(); }
    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    Credentials creds;
};

TEST_F(AgentRequestsTest, CertSsoAttemptsAreClampedAndReadWithoutPolicy) {
    EXPECT_EQ(GetCertSsoAttempts(), 3u);
    struct Case {
        const wchar_t* text;
        DWORD attempts;
    } cases[] = {{L"0", 1}, {L"9", 5}, {L" 04 ", 4}, {L"1", 1}, {L"5", 5}, {L"x", 1}};
    for (const auto& c : cases) {
        registry.SetAgentConfig(L"CertSsoAttempts", c.text);
        EXPECT_EQ(GetCertSsoAttempts(), c.attempts) << c.text;
    }
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration", L"CertSsoAttempts", L"2");
    EXPECT_EQ(GetCertSsoAttempts(), 1u);  // still the plain value "x"
}

TEST_F(AgentRequestsTest, UnlockCompletionWithoutASessionGuidSendsNothing) {
    CORE::PropertyBag answer;
    EXPECT_FALSE(CertSsoUnlockSessionCompleteNotif(creds, answer));
    EXPECT_EQ(answer.GetError(), 1u);
    EXPECT_EQ(answer.GetErrorText(L""),
              L"Request CertSsoUnlockSessionCompleteNotif failed, (sessionId=2) No sessionGuid available to perform "
              L"CertSSO unlock");
    EXPECT_FALSE(log.Contains(L"SendMsgToDesktopManager("));
}

TEST_F(AgentRequestsTest, SessionZeroIsRefusedBeforeSending) {
    fake.sessionId = 0;
    CORE::PropertyBag answer;
    EXPECT_FALSE(CheckCertSsoEnabledForSession(creds, answer));
    EXPECT_EQ(answer.GetErrorText(L""), L"Request CheckCertSsoEnabledForSession failed, sessionId is invalid");
    EXPECT_FALSE(log.Contains(L"SendMsgToDesktopManager("));
}

TEST_F(AgentRequestsTest, UnreachableAgentFailsEveryRequestAndSaysSo) {
    CORE::PropertyBag request, answer;
    EXPECT_EQ(SendMsgToDesktopManager(L"GetCredentialsForTicket", request, answer, 30000), 2u);
    bool found = true;
    EXPECT_FALSE(GetCredentialsForTicket(request, answer, &found));
    EXPECT_FALSE(found);
    EXPECT_FALSE(GetConsoleProtocolCredentials(creds));
    EXPECT_FALSE(creds.ticketFound);
    EXPECT_FALSE(NotifyDazSrvCertSsoUnlockAndRefreshTicket(creds));
    EXPECT_TRUE(creds.sessionGuid.empty());
    EXPECT_FALSE(creds.certLogon.HasUnlockEvent());
    CORE::PropertyBag check;
    EXPECT_FALSE(CheckCertSsoEnabledForSession(creds, check));
    EXPECT_EQ(check.GetErrorText(L"").rfind(L"Request CheckCertSsoEnabledForSession failed, (sessionId=2)", 0), 0u);
    EXPECT_TRUE(log.Contains(L"SendMsgToDesktopManager(GetCredentialsForTicket) (sessionId=2) begin"));
    EXPECT_TRUE(log.Contains(L"(sessionId=2) Could not contact node manager"));
    EXPECT_TRUE(log.Contains(L"(sessionId=2) GetCredentialsOverFramework complete: ticket not matched"));
}

}  // namespace
