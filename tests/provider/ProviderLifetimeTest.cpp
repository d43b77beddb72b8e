// LogonUI may UnAdvise and release the provider while the channel thread is between taking
// the provider and calling into it: the callback must still find a live object. Freed blocks
// are scribbled over in this program, so a callback on a freed provider faults.
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "platform/UniqueResource.h"
#include "provider/credprovider.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakeEvents.h"
#include "support/FakePlatform.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

namespace {

std::atomic<int> g_gaps{0};

TEST(ProviderLifetime, CallbackInFlightOutlivesUnAdviseAndRelease) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform fake;
    ResetSessionIdCache(), testsupport::ResetCredentials();
    TheCredentials().ticketFound = true;  // the callback then reports to the provider's sink
    testsupport::FakeEvents events;
    for (int round = 0; round < 2000; ++round) {
        platform::com_ptr<ICredentialProvider> provider;
        ASSERT_EQ(credprovider_CreateInstance(IID_ICredentialProvider, provider.put_void()), S_OK);
        OfflineChannel* channel = GetOfflineChannel();
        channel->SetCallbackGapHook([] { ++g_gaps, ::Sleep(1); });
        ASSERT_EQ(provider->Advise(&events, 1), S_OK);
        channel->RequestSSORetry();
        if (round % 2) ::Sleep(0);
        provider->UnAdvise();
        provider.reset();
    }
    EXPECT_GT(g_gaps.load(), 0);  // the gap was taken
    CleanupOfflineChannel(), testsupport::ResetCredentials();
    ::CoUninitialize();
}

}  // namespace
