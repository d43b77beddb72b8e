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
