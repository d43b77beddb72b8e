// The framework client against the stand-in node manager: connecting, request and response,
// the agent's errors, time-outs and cancels, lost channels, concurrency and shutdown.
#include "MfwTestSupport.h"

#include "lib/mfw/common/config/Config.h"
#include "support/WaitFor.h"

#include <thread>

namespace mfwtest {
namespace {

using CORE::MessageFrameWork;
using CORE::PropertyBag;

struct FrameworkWithoutServer : ChannelFixture {
    MessageFrameWork* framework = MessageFrameWork::GetFrameWork();
    CORE::MessageChannel* Open() { return framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM); }
};

TEST_F(FrameworkWithoutServer, WithoutANodeManagerOrALocalTypeThereIsNoChannelAtOnce) {
    PropertyBag response;
    EXPECT_EQ(framework->SendMsg(L"DesktopManager", L"Echo", PropertyBag(), response, nullptr, 1000), 1u);  // no default channel
    EXPECT_TRUE(!framework->ConnectChannel(MessageFrameWork::CHANNEL_SERVER) && !framework->ConnectChannel(MessageFrameWork::CHANNEL_SOCKET));
    EXPECT_FALSE(log.Contains(L"bad channel type"));
    EXPECT_TRUE(framework->ConnectChannel(7) == nullptr && log.Contains(L"ConnectChannel called with bad channel type, type=7"));
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(Open(), nullptr);
    Setting(kNodeManagerKey, L"disableRPCSharedMemListener", L"false");
    EXPECT_TRUE(Open() == nullptr && log.Contains(L"RPC initiated sharedmem connect failed") && ::GetTickCount64() - start < 10000u);
}

// A server whose DesktopManager knows one operation per behaviour, and one open channel.
struct FrameworkFixture : FrameworkWithoutServer {
    void SetUp() override {
        ChannelFixture::SetUp();
        PropertyBag scenario, refused, entry = Bag({{L"result", L"4"}});
        for (const auto& [operation, behaviour] : {std::pair{L"Echo", Bag({{L"echo", L"true"}})},
                                               {L"SlowEcho", Bag({{L"echo", L"true"}, {L"delayMs", L"400"}})},
                                               {L"Never", Bag({{L"neverAnswer", L"true"}})},
                                               {L"Hangup", Bag({{L"closeChannel", L"true"}})},
                                               {L"BadFraming", Bag({{L"badFraming", L"true"}})}})
            scenario = With(scenario, L"DesktopManager", operation, behaviour);
        refused.SetError(4, L"not for you");
        entry.SetBag(L"answer", refused);
        ASSERT_TRUE(StartServer(With(scenario, L"DesktopManager", L"Refused", entry), true));
        ASSERT_NE(channel = Open(), nullptr) << Narrow(log.Dump());
    }
    void TearDown() override {
        if (channel) framework->CloseChannel(channel);
        ChannelFixture::TearDown();
    }
    DWORD Send(const wchar_t* operation, PropertyBag* response, DWORD timeoutMs = 30000, const wchar_t* queue = L"DesktopManager",
               HANDLE cancel = nullptr, CORE::MessageChannel* on = nullptr) {
        return framework->SendMsg(queue, operation, Bag({{L"who", operation}}), *response, on ? on : channel, timeoutMs, cancel);
    }
    PropertyBag AgentStats() {
        PropertyBag stats;
        ++statsAsked_;
        EXPECT_EQ(framework->SendMsg(L"AgentSim", L"GetStats", PropertyBag(), stats, channel, 30000), 0u);
        return stats;
    }
    // Until the agent has seen `n` requests besides the stats requests themselves.
    bool AgentHasSeen(unsigned n) {
        return testsupport::WaitFor([&] { return CORE::ParseUInt(AgentStats().Get(L"requests"), false) >= statsAsked_ + n; });
    }

    CORE::MessageChannel* channel = nullptr;

private:
    unsigned statsAsked_ = 0;
};

TEST_F(FrameworkFixture, AnErrorArrivesWithItsCodeAndFieldsTimeOutsAndCancelsEndWithFiveAndABrokenChannelWithSeven) {
    PropertyBag response = Bag({{L"stale", L"x"}});
    EXPECT_EQ(Send(L"Refused", &response), 4u);
    EXPECT_TRUE(!response.Contains(L"stale") && response.GetError() == 4u && response.GetErrorText(L"") == L"not for you") << Narrow(response.ToXml());
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(Send(L"Never", &response, 300) == 5u && ::GetTickCount64() - start < 5000u && Send(L"Never", &response, 0) == 5u);
    platform::unique_handle cancel(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(Send(L"Never", &response, 30000, L"DesktopManager", cancel.get()), 5u);
    // Cancels travel after the time-out; the stats request queues behind them.
    EXPECT_EQ(AgentStats().Get(L"cancels"), L"3");
    for (const wchar_t* operation : {L"BadFraming", L"Hangup"}) {
        EXPECT_TRUE(Send(operation, &response) == 7u && Send(L"Echo", &response) == 1u) << Narrow(operation);  // then closed: cannot be sent
        framework->CloseChannel(channel);
        ASSERT_NE(channel = Open(), nullptr);
    }
    EXPECT_TRUE(log.Contains(L"Invalid message size received, closing down"));
}

TEST_F(FrameworkFixture, LargeMessagesTravelInChunksBothWays) {
    std::vector<BYTE> blob(300000), back;
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i % 251);
    PropertyBag request, response;
    request.SetBinary(L"blob", blob.data(), blob.size());
    EXPECT_TRUE(framework->SendMsg(L"DesktopManager", L"Echo", request, response, channel, 30000) == 0u && response.GetBinary(L"blob", &back) &&
                back == blob);
}

TEST_F(FrameworkFixture, ShutdownWakesEveryWaiterWithOne) {
    DWORD results[2] = {99, 99};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&, i] {
            PropertyBag response;
            results[i] = Send(L"Never", &response, 60000);
        });
    ASSERT_TRUE(AgentHasSeen(2));
    const ULONGLONG start = ::GetTickCount64();
    framework->Shutdown();
    for (auto& waiter : waiters) waiter.join();
    PropertyBag response;
    EXPECT_TRUE(::GetTickCount64() - start < 10000u && results[0] == 1u && results[1] == 1u && Send(L"Echo", &response) == 1u && !Open());
}

// Responses reach the framework on a channel's receive thread; the test hands it responses
// of its own through the same entry to check how they are matched.
TEST_F(FrameworkFixture, ResponsesAreMatchedByIdAndChannel) {
    CORE::MessageChannel* other = Open();
    ASSERT_NE(other, nullptr);
    DWORD result = 99;
    PropertyBag response;
    std::thread waiter([&] { result = Send(L"Never", &response, 20000, L"DesktopManager", nullptr, other); });
    ASSERT_TRUE(AgentHasSeen(1));
    const std::wstring id = AgentStats().Get(L"lastRequestId");
    auto* sink = dynamic_cast<CORE::IChannelSink*>(framework);
    ASSERT_NE(sink, nullptr);
    CORE::Message answer = CORE::Message().MakeResponse(0, Bag({{L"from", L"test"}}));
    answer.replyToId = L"not-" + id;
    sink->OnChannelMessage(other, answer);  // unknown id: ignored
    answer.replyToId = id;
    sink->OnChannelMessage(channel, answer);  // the right id on the wrong channel: dropped
    EXPECT_TRUE(log.Contains(L"ResponseHandler: RESPONSE RECEIVED FROM THE WRONG CHANNEL IS NOT ALLOWED", CORE::LOG_INFO));
    ::Sleep(200);  // nothing to observe: the waiter must go on waiting
    EXPECT_EQ(result, 99u);
    answer.queueHint = L"10";
    sink->OnChannelMessage(other, answer);
    waiter.join();
    EXPECT_TRUE(result == 10u && response.Get(L"from") == L"test") << result;
    framework->CloseChannel(other);
}

}  // namespace
}  // namespace mfwtest
