// The module's side of the road against a running agentsim: requests from this process to
// the stand-in node manager in another, over an authenticated shared-memory channel.
#include "support/AgentSimProcess.h"

#include "lib/mfw/common/channel/ChannelSettings.h"
#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/threads/coretimer.h"
#include "lib/mfw/common/util/TextRules.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using CORE::MessageFrameWork;
using CORE::PropertyBag;

// Answers the ticket, never answers the unlock handshake; `server` holds the listener's knobs.
// Result codes and error answers of a scenario are the end-to-end roads'.
PropertyBag Scenario(const PropertyBag& server = PropertyBag()) {
    PropertyBag ticket, operations, scenario;
    ticket.SetBag(L"answer", testsupport::Bag({{L"userName", L"alice"}}));
    operations.SetBag(L"GetCredentialsForTicket", ticket);
    operations.SetBag(L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", testsupport::Bag({{L"neverAnswer", L"true"}}));
    scenario.SetBag(L"DesktopManager", operations);
    scenario.SetBag(L"server", server);
    return scenario;
}

class AgentSimProcessTest : public testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        fake.nodeManagerInstance = L"proc" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        CORE::InvalidateChannelSettings();  // settings are kept for a few seconds
    }
    // Every channel goes before the fake platform that authenticated it; an abandoned call
    // returns once its peer is gone.
    void TearDown() override {
        agent.Kill();
        CORE::MessageChannel::StopParkedReceivers();
        CORE::ShutdownTimerService();
        EXPECT_TRUE(CORE::WaitForLibraryThreads(15000));
    }
    DWORD Send(CORE::MessageChannel* channel, const wchar_t* operation, PropertyBag* response, DWORD timeoutMs) {
        return framework->SendMsg(L"DesktopManager", operation, testsupport::Bag({{L"ticket", L"T-42"}}), *response,
                                  channel, timeoutMs);
    }
    CORE::MessageChannel* Connect() { return framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM); }

    testsupport::FakePlatform fake;
    testsupport::RegistrySandbox registry;
    testsupport::LogCapture log;
    testsupport::AgentSimProcess agent;
    MessageFrameWork* framework = MessageFrameWork::GetFrameWork();
};

// nodeManagerSetting: set to "true" under the product's Node Manager key; serverKnob: in the
// scenario's server bag.
struct ConnectCase { const char* name; const wchar_t *nodeManagerSetting, *agentArguments, *serverKnob; bool connects;
                     const wchar_t* logged; };
void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class AgentSimConnect : public AgentSimProcessTest, public testing::WithParamInterface<ConnectCase> {};

// The stand-in listens the way the node manager does: legacy, RPC-initiated only (the module
// falls back only when told to), and silent. The RPC-initiated road is the end-to-end tests'.
TEST_P(AgentSimConnect, ConnectsAsTheNodeManagerWouldAndAnswersTheScript) {
    const ConnectCase& c = GetParam();
    if (c.nodeManagerSetting)
        registry.SetString(L"Software\\Velmora\\Zephral\\Node Manager", c.nodeManagerSetting, L"true");
    PropertyBag server;
    if (c.serverKnob) server.Set(c.serverKnob, L"true");
    ASSERT_TRUE(agent.Start(fake.nodeManagerInstance, Scenario(server), 120, 0, c.agentArguments));
    const ULONGLONG start = ::GetTickCount64();
    CORE::MessageChannel* channel = Connect();
    EXPECT_LT(::GetTickCount64() - start, 60000u);  // bounded, not the test's own time-out
    EXPECT_TRUE(log.Contains(c.logged)) << log.Dump();
    ASSERT_EQ(channel != nullptr, c.connects) << log.Dump();
    if (!channel) return;
    PropertyBag response;
    EXPECT_TRUE(Send(channel, L"GetCredentialsForTicket", &response, 30000) == 0u && response.Get(L"userName") == L"alice") << response.ToXml();
    framework->CloseChannel(channel);
}

const ConnectCase kConnects[] = {
    {"Legacy", L"disableRPCSharedMemListener", L"", nullptr, true, L"Sending legacy initiate shared memory request"},
    {"NoLegacyFallbackUnlessAllowed", nullptr, L"--no-rpc", nullptr, false, L"RPC initiated sharedmem connect failed"},
    {"LegacyFallbackWhenAllowed", L"failbackSharedMemListener", L"--no-rpc", nullptr, true,
     L"Sending legacy initiate shared memory request"},
    {"SilentInitiateIsGivenUp", nullptr, L"", L"hangInitiate", false, L"the node manager did not answer within 10000 ms"},
};
INSTANTIATE_TEST_SUITE_P(Modes, AgentSimConnect, testing::ValuesIn(kConnects),
                         [](const testing::TestParamInfo<ConnectCase>& info) { return info.param.name; });

// Time-outs and cancels are the framework tests'; a process that dies is not a channel closed.
TEST_F(AgentSimProcessTest, AgentDyingDuringAWaitGivesSevenAtOnce) {
    ASSERT_TRUE(agent.Start(fake.nodeManagerInstance, Scenario()));
    CORE::MessageChannel* channel = Connect();
    ASSERT_NE(channel, nullptr) << log.Dump();
    PropertyBag response;
    DWORD result = 99;
    std::thread waiter([&] { result = Send(channel, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", &response, 60000); });
    unsigned asked = 0;  // stats requests count themselves
    EXPECT_TRUE(testsupport::WaitFor([&] {
        PropertyBag stats;
        ++asked;
        return framework->SendMsg(L"AgentSim", L"GetStats", PropertyBag(), stats, channel, 30000) == 0 &&
               CORE::ParseUInt(stats.Get(L"requests"), false) > asked;
    }));
    const ULONGLONG killed = ::GetTickCount64();
    agent.Kill();
    waiter.join();
    EXPECT_TRUE(result == 7u && ::GetTickCount64() - killed < 10000u) << result;
    framework->CloseChannel(channel);
    EXPECT_EQ(Connect(), nullptr);
}

TEST(AgentSimLifetime, EndsAtItsTimeLimitAndWithItsParent) {
    testsupport::FakePlatform fake;
    testsupport::AgentSimProcess parent, child;
    const std::wstring base = L"life" + std::to_wstring(::GetCurrentProcessId());
    ASSERT_TRUE(parent.Start(base + L"a", PropertyBag(), 2));
    ASSERT_TRUE(child.Start(base + L"b", PropertyBag(), 120, parent.Pid()));
    DWORD parentCode = 99, childCode = 99;
    EXPECT_TRUE(parent.WaitForExit(20000, &parentCode) && child.WaitForExit(20000, &childCode));
    EXPECT_EQ(parentCode + childCode, 0u);
}

}  // namespace
