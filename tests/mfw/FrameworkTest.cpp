#include "MfwTestSupport.h"

#include "lib/mfw/common/channel/ChannelSettings.h"
#include "lib/mfw/common/config/Config.h"

#include <thread>

namespace mfwtest {
namespace {

using CORE::MessageFrameWork;
using CORE::PropertyBag;

TEST_F(ChannelFixture, SendsARequestAndGetsTheScriptedAnswer) {
    PropertyBag answer;
    answer.Set(L"userName", L"alice");
    answer.Set(L"domainName", L"CORP");
    ASSERT_TRUE(StartServer(Answering(L"GetCredentialsForTicket", answer)));
    MessageFrameWork* framework = MessageFrameWork::GetFrameWork();
    CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    PropertyBag request, response;
    request.Set(L"ticket", L"T-1");
    DWORD result = framework->SendMsg(L"DesktopManager", L"GetCredentialsForTicket", request, response, channel, 30000);
    framework->CloseChannel(channel);
    EXPECT_EQ(result, 0u) << Narrow(log.Dump());
    EXPECT_EQ(response.Get(L"userName"), L"alice");
    EXPECT_EQ(response.Get(L"domainName"), L"CORP");
}

}  // namespace
}  // namespace mfwtest

namespace mfwtest {
namespace {

TEST_F(ChannelFixture, ConnectsThroughTheRpcInitiateRequest) {
    registry.SetString(kNodeManagerKey, L"disableRPCSharedMemListener", L"false");
    PropertyBag answer;
    answer.Set(L"ok", L"1");
    ASSERT_TRUE(StartServer(Answering(L"Ping", answer), true));
    MessageFrameWork* framework = MessageFrameWork::GetFrameWork();
    CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    PropertyBag response;
    EXPECT_EQ(framework->SendMsg(L"DesktopManager", L"Ping", PropertyBag(), response, channel, 30000), 0u);
    framework->CloseChannel(channel);
    EXPECT_EQ(response.Get(L"ok"), L"1");
    EXPECT_TRUE(log.Contains(L"RPC initiate shared memory request succeeded, seqString="));
}

}  // namespace
}  // namespace mfwtest

namespace mfwtest {
namespace {

class FrameworkFixture : public ChannelFixture {
protected:
    MessageFrameWork* framework = MessageFrameWork::GetFrameWork();

    static PropertyBag Entry(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> items) {
        PropertyBag entry;
        for (const auto& item : items) entry.Set(item.first, item.second);
        return entry;
    }
    PropertyBag Scenario() {
        PropertyBag scenario;
        scenario = WithOperation(scenario, L"Echo", Entry({{L"echo", L"true"}}));
        scenario = WithOperation(scenario, L"SlowEcho", Entry({{L"echo", L"true"}, {L"delayMs", L"400"}}));
        scenario = WithOperation(scenario, L"Never", Entry({{L"neverAnswer", L"true"}}));
        scenario = WithOperation(scenario, L"Hangup", Entry({{L"closeChannel", L"true"}}));
        scenario = WithOperation(scenario, L"BadFraming", Entry({{L"badFraming", L"true"}}));
        scenario = WithOperation(scenario, L"Garbage", Entry({{L"garbage", L"true"}, {L"echo", L"true"}}));
        PropertyBag refused;
        refused.SetError(4, L"not for you");
        PropertyBag entry;
        entry.SetBag(L"answer", refused);
        entry.Set(L"result", L"4");
        scenario = WithOperation(scenario, L"Refused", entry);
        return scenario;
    }
    CORE::MessageChannel* Open() {
        if (!started_) {
            started_ = true;
            EXPECT_TRUE(StartServer(Scenario()));
        }
        CORE::MessageChannel* channel = framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
        EXPECT_NE(channel, nullptr) << Narrow(log.Dump());
        return channel;
    }
    DWORD Send(CORE::MessageChannel* channel, const wchar_t* operation, PropertyBag* response, DWORD timeoutMs = 30000,
               const wchar_t* queue = L"DesktopManager", HANDLE cancel = nullptr) {
        PropertyBag request;
        request.Set(L"who", operation);
        return framework->SendMsg(queue, operation, request, *response, channel, timeoutMs, cancel);
    }
    long CancelsSeenByAgent(CORE::MessageChannel* channel) {
        // Cancels travel after the time-out; the stats request queues behind them.
        PropertyBag stats;
        EXPECT_EQ(framework->SendMsg(L"AgentSim", L"GetStats", PropertyBag(), stats, channel, 30000), 0u);
        return static_cast<long>(CORE::ParseUInt(stats.Get(L"cancels"), false));
    }

private:
    bool started_ = false;
};

TEST_F(FrameworkFixture, ErrorsOfTheAgentArriveWithTheirCodeAndFields) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    PropertyBag response;
    response.Set(L"stale", L"x");
    EXPECT_EQ(Send(channel, L"Refused", &response), 4u);
    EXPECT_FALSE(response.Contains(L"stale"));
    EXPECT_EQ(response.GetError(), 4u);
    EXPECT_EQ(response.GetErrorText(L""), L"not for you");
    EXPECT_EQ(Send(channel, L"Anything", &response, 30000, L"NoSuchQueue"), 3u);
    EXPECT_EQ(response.GetError(), 3u);
    EXPECT_EQ(Send(channel, L"Unscripted", &response), 1u);
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, TimeOutReturnsFiveAndTellsTheAgentToCancel) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    PropertyBag response;
    ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(Send(channel, L"Never", &response, 300), 5u);
    EXPECT_LT(::GetTickCount64() - start, 5000u);
    EXPECT_EQ(Send(channel, L"Never", &response, 0), 5u);
    EXPECT_EQ(CancelsSeenByAgent(channel), 2);
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, CancelEventEndsTheWaitLikeATimeOut) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    platform::unique_handle cancel(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    PropertyBag response;
    EXPECT_EQ(Send(channel, L"Never", &response, 30000, L"DesktopManager", cancel.get()), 5u);
    EXPECT_EQ(CancelsSeenByAgent(channel), 1);
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, TwoThreadsOnOneChannelEachGetTheirOwnAnswer) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    PropertyBag slow, fast;
    DWORD slowResult = 99;
    std::thread first([&] { slowResult = Send(channel, L"SlowEcho", &slow); });
    ::Sleep(50);
    EXPECT_EQ(Send(channel, L"Echo", &fast), 0u);
    first.join();
    EXPECT_EQ(slowResult, 0u);
    EXPECT_EQ(slow.Get(L"who"), L"SlowEcho");
    EXPECT_EQ(fast.Get(L"who"), L"Echo");
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, ChannelLossAnswersTheWaiterWithSeven) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    PropertyBag response;
    EXPECT_EQ(Send(channel, L"Hangup", &response), 7u);
    EXPECT_EQ(Send(channel, L"Echo", &response), 1u);  // closed: cannot be sent
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, BrokenFramingFromThePeerEndsInSevenNotAHang) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    PropertyBag response;
    EXPECT_EQ(Send(channel, L"BadFraming", &response, 30000), 7u);
    EXPECT_TRUE(log.Contains(L"Invalid message size received, closing down"));
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, GarbageBodyIsDroppedAndTheAnswerStillArrives) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    PropertyBag response;
    EXPECT_EQ(Send(channel, L"Garbage", &response), 0u);
    EXPECT_EQ(response.Get(L"who"), L"Garbage");
    EXPECT_TRUE(log.Contains(L"Invalid message received"));
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, LargeMessagesTravelInChunksBothWays) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    std::vector<BYTE> blob(300000);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i % 251);
    PropertyBag request, response;
    request.SetBinary(L"blob", blob.data(), blob.size());
    EXPECT_EQ(framework->SendMsg(L"DesktopManager", L"Echo", request, response, channel, 30000), 0u);
    std::vector<BYTE> back;
    EXPECT_TRUE(response.GetBinary(L"blob", &back));
    EXPECT_EQ(back, blob);
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, WaitEventPoolKeepsEightAndClosesTheRest) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 10; ++i)
        threads.emplace_back([&] {
            PropertyBag response;
            if (Send(channel, L"SlowEcho", &response) == 0) ++ok;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ok.load(), 10);
    EXPECT_EQ(framework->PooledWaitEvents(), MessageFrameWork::kWaitEventPoolSize);
    framework->CloseChannel(channel);
}

TEST_F(FrameworkFixture, NoChannelAndNoDefaultGivesOne) {
    PropertyBag response;
    EXPECT_EQ(framework->SendMsg(L"DesktopManager", L"Echo", PropertyBag(), response, nullptr, 1000), 1u);
}

TEST_F(FrameworkFixture, ChannelTypesOtherThanLocalGiveNoChannel) {
    EXPECT_EQ(framework->ConnectChannel(MessageFrameWork::CHANNEL_SERVER), nullptr);
    EXPECT_EQ(framework->ConnectChannel(MessageFrameWork::CHANNEL_SOCKET), nullptr);
    EXPECT_FALSE(log.Contains(L"bad channel type"));
    EXPECT_EQ(framework->ConnectChannel(7), nullptr);
    EXPECT_TRUE(log.Contains(L"ConnectChannel called with bad channel type, type=7"));
}

TEST_F(FrameworkFixture, NoNodeManagerGivesNoChannelAtOnce) {
    ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
    registry.SetString(kNodeManagerKey, L"disableRPCSharedMemListener", L"false");
    CORE::InvalidateChannelSettings();  // settings are kept for a few seconds
    EXPECT_EQ(framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
    EXPECT_TRUE(log.Contains(L"RPC initiated sharedmem connect failed"));
    EXPECT_LT(::GetTickCount64() - start, 10000u);
}

TEST_F(FrameworkFixture, ShutdownWakesEveryWaiterWithOne) {
    CORE::MessageChannel* channel = Open();
    ASSERT_NE(channel, nullptr);
    DWORD results[2] = {99, 99};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&, i] {
            PropertyBag response;
            results[i] = Send(channel, L"Never", &response, 60000);
        });
    ::Sleep(300);
    ULONGLONG start = ::GetTickCount64();
    framework->Shutdown();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_LT(::GetTickCount64() - start, 10000u);
    EXPECT_EQ(results[0], 1u);
    EXPECT_EQ(results[1], 1u);
    PropertyBag response;
    EXPECT_EQ(Send(channel, L"Echo", &response), 1u);
    EXPECT_EQ(framework->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
    framework->CloseChannel(channel);
}

}  // namespace
}  // namespace mfwtest

namespace mfwtest {
namespace {

// Responses reach the framework on a channel's receive thread; the test hands it responses
// of its own through the same entry to check how they are matched.
TEST_F(FrameworkFixture, ResponsesAreMatchedByIdAndChannel) {
    CORE::MessageChannel* a = Open();
    CORE::MessageChannel* b = Open();
    ASSERT_TRUE(a && b);
    DWORD result = 99;
    PropertyBag response;
    std::thread waiter([&] { result = Send(a, L"Never", &response, 20000); });
    std::wstring id;
    for (int i = 0; i < 100 && id.empty(); ++i) {  // until the agent has seen the request
        PropertyBag stats;
        framework->SendMsg(L"AgentSim", L"GetStats", PropertyBag(), stats, b, 5000);
        if (CORE::ParseUInt(stats.Get(L"requests"), false) >= 2) id = stats.Get(L"lastRequestId");
        if (id.empty()) ::Sleep(20);
    }
    ASSERT_FALSE(id.empty());
    auto* sink = dynamic_cast<CORE::IChannelSink*>(framework);
    ASSERT_NE(sink, nullptr);
    CORE::Message answer;
    answer.messageType = CORE::MSG_RESPONSE;
    answer.queueHint = L"0";
    answer.payload.Set(L"from", L"test");
    answer.replyToId = L"not-" + id;
    sink->OnChannelMessage(a, answer);  // unknown id: ignored
    answer.replyToId = id;
    sink->OnChannelMessage(b, answer);  // the right id on the wrong channel: dropped
    EXPECT_TRUE(log.Contains(L"ResponseHandler: RESPONSE RECEIVED FROM THE WRONG CHANNEL IS NOT ALLOWED", CORE::LOG_INFO));
    ::Sleep(200);
    EXPECT_EQ(result, 99u);  // still waiting
    answer.queueHint = L"10";
    sink->OnChannelMessage(a, answer);
    waiter.join();
    EXPECT_EQ(result, 10u);
    EXPECT_EQ(response.Get(L"from"), L"test");
    framework->CloseChannel(a);
    framework->CloseChannel(b);
}

}  // namespace
}  // namespace mfwtest
