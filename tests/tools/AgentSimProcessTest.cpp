// The module's side of the road against a running agentsim: requests from this process to
// the stand-in node manager in another, over an authenticated shared-memory channel.
#include "support/AgentSimProcess.h"

#include "lib/mfw/common/channel/ChannelSettings.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/threads/corerunnable.h"
#include "lib/mfw/common/threads/coretimer.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using CORE::MessageFrameWork;
using CORE::PropertyBag;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

PropertyBag TicketAnswer() {
    PropertyBag answer;
    answer.Set(L"userName", L"alice");
    PropertyBag upns;
    upns.Set(L"alice@corp.example", L"1");
    answer.SetBag(L"upns", upns);
    return answer;
}

// Answers the ticket, never answers the unlock handshake. Result codes and error answers of a
// scenario are the end-to-end roads'.
PropertyBag Scenario() {
    PropertyBag ticket, never, operations, scenario;
    ticket.SetBag(L"answer", TicketAnswer());
    never.Set(L"neverAnswer", L"true");
    operations.SetBag(L"GetCredentialsForTicket", ticket);
    operations.SetBag(L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", never);
    scenario.SetBag(L"DesktopManager", operations);
    return scenario;
}

class AgentSimProcessTest : public testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        fake.nodeManagerInstance = L"proc" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    }
    // Every channel goes before the fake platform that authenticated it.
    void TearDown() override {
        CORE::MessageChannel::StopParkedReceivers();
        CORE::ShutdownTimerService();
        EXPECT_TRUE(CORE::WaitForLibraryThreads(15000));
    }
    DWORD Send(CORE::MessageChannel* channel, const wchar_t* operation, PropertyBag* response, DWORD timeoutMs = 30000) {
        PropertyBag request;
        request.Set(L"sessionId", L"2");
        request.Set(L"ticket", L"T-42");
        return framework->SendMsg(L"DesktopManager", operation, request, *response, channel, timeoutMs);
    }

    testsupport::FakePlatform fake;
    testsupport::RegistrySandbox registry;
    testsupport::LogCapture log;
    testsupport::AgentSimProcess agent;
    MessageFrameWork* framework = MessageFrameWork::GetFrameWork();
};

TEST_F(AgentSimProcessTest, AnswersScriptedRequestsAndCountsTheCancelOfATimeOut) {
    ASSERT_TRUE(agent.Start(fake.nodeManagerInstance, Scenario()));
    CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    EXPECT_TRUE(log.Contains(L"RPC initiate shared memory request succeeded"));

    PropertyBag response;
    EXPECT_EQ(Send(channel, L"GetCredentialsForTicket", &response), 0u);
    EXPECT_TRUE(response.Equals(TicketAnswer())) << Narrow(response.ToXml());
    EXPECT_EQ(Send(channel, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", &response, 500), 5u);
    PropertyBag stats;
    EXPECT_EQ(framework->SendMsg(L"AgentSim", L"GetStats", PropertyBag(), stats, channel, 30000), 0u);
    EXPECT_EQ(stats.Get(L"cancels"), L"1");
    framework->CloseChannel(channel);
}

TEST_F(AgentSimProcessTest, LegacyConnectReachesTheSameAgent) {
    registry.SetString(L"Software\\Velmora\\Zephral\\Node Manager", L"disableRPCSharedMemListener", L"true");
    ASSERT_TRUE(agent.Start(fake.nodeManagerInstance, Scenario()));
    CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    EXPECT_TRUE(log.Contains(L"Sending legacy initiate shared memory request"));
    PropertyBag response;
    EXPECT_EQ(Send(channel, L"GetCredentialsForTicket", &response), 0u);
    EXPECT_EQ(response.Get(L"userName"), L"alice");
    framework->CloseChannel(channel);
}

TEST_F(AgentSimProcessTest, RpcFailureFallsBackToLegacyOnlyWhenAllowed) {
    ASSERT_TRUE(agent.Start(fake.nodeManagerInstance, Scenario(), 120, 0, L"--no-rpc"));
    EXPECT_EQ(framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
    EXPECT_TRUE(log.Contains(L"RPC initiated sharedmem connect failed"));
    registry.SetString(L"Software\\Velmora\\Zephral\\Node Manager", L"failbackSharedMemListener", L"true");
    CORE::InvalidateChannelSettings();  // settings are kept for a few seconds
    CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    framework->CloseChannel(channel);
}

TEST_F(AgentSimProcessTest, AgentDyingDuringAWaitGivesSevenAtOnce) {
    ASSERT_TRUE(agent.Start(fake.nodeManagerInstance, Scenario()));
    CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    ASSERT_NE(channel, nullptr);
    DWORD result = 99;
    PropertyBag response;
    std::thread waiter([&] { result = Send(channel, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", &response, 60000); });
    ::Sleep(300);
    const ULONGLONG killed = ::GetTickCount64();
    agent.Kill();
    waiter.join();
    EXPECT_EQ(result, 7u);
    EXPECT_LT(::GetTickCount64() - killed, 10000u);
    framework->CloseChannel(channel);
    EXPECT_EQ(framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
}

TEST(AgentSimLifetime, EndsAtItsTimeLimitAndWithItsParent) {
    testsupport::FakePlatform fake;
    testsupport::AgentSimProcess parent, child;
    const std::wstring base = L"life" + std::to_wstring(::GetCurrentProcessId());
    ASSERT_TRUE(parent.Start(base + L"a", PropertyBag(), 2));
    ASSERT_TRUE(child.Start(base + L"b", PropertyBag(), 120, parent.Pid()));
    DWORD code = 99;
    EXPECT_TRUE(parent.WaitForExit(20000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(child.WaitForExit(20000, &code));
    EXPECT_EQ(code, 0u);
}

TEST_F(AgentSimProcessTest, ANodeManagerThatNeverAnswersTheConnectIsGivenUp) {
    PropertyBag knobs;
    knobs.Set(L"hangInitiate", L"true");
    PropertyBag scenario = Scenario();
    scenario.SetBag(L"server", knobs);
    ASSERT_TRUE(agent.Start(fake.nodeManagerInstance, scenario));
    const ULONGLONG start = ::GetTickCount64();
    CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    EXPECT_EQ(channel, nullptr);
    EXPECT_LT(::GetTickCount64() - start, 60000u);  // bounded, not the test's own time-out
    EXPECT_TRUE(log.Contains(L"the node manager did not answer within 10000 ms"));
    agent.Kill();  // the abandoned call returns once its peer is gone
}

}  // namespace
