#include "MfwTestSupport.h"

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
