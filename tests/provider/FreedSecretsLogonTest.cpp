// A brokered logon inside this process (the filter takes the ticket, the agent answers, the tile
// builds the logon buffer), once with a password and once with a CertSSO PIN: when the logon is
// over and the record cleared, no block freed on the way held the ticket or the secret.
#include "base/SessionInfo.h"
#include "filter/credfilter.h"
#include "platform/UniqueResource.h"
#include "provider/cred.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakePlatform.h"
#include "support/FreedMemoryWatch.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "tools/logonsim/LogonUiSession.h"

#include <gtest/gtest.h>

namespace {

namespace watch = testsupport::freedwatch;
constexpr wchar_t kCanary[] = L"Canary-77e1-secret";  // the secret; the ticket starts with it too

void DiscardCoTask(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION& serialization) {
    if (serialization.rgbSerialization) ::SecureZeroMemory(serialization.rgbSerialization, serialization.cbSerialization);
    ::CoTaskMemFree(serialization.rgbSerialization);
}

TEST(FreedSecretsLogon, NoFreedBlockHoldsTheTicketOrTheSecret) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (const wchar_t* secretName : {L"password", L"certLogonPin"}) {
        testsupport::RegistrySandbox registry;
        testsupport::FakePlatform fake;
        testsupport::ScriptedAgent agent;
        ResetSessionIdCache(), testsupport::ResetCredentials();
        CORE::PropertyBag answer = testsupport::Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}});
        answer.SetSecret(secretName, CORE::SecureWString(kCanary));
        if (secretName[0] == L'c') answer.Set(L"certLogonContainerName", L"le-container");
        agent.Answer(L"GetCredentialsForTicket", answer);
        std::vector<BYTE> remote = logonsim::PackRemoteCredential({true, L"CORP", L"alice", std::wstring(kCanary) + L"-ticket"});
        watch::Start(kCanary);
        {
            platform::com_ptr<ICredentialProviderFilter> filter;
            ASSERT_EQ(credfilter_CreateInstance(IID_ICredentialProviderFilter, filter.put_void()), S_OK);
            CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in{2, {}, static_cast<ULONG>(remote.size()), remote.data()}, out{};
            EXPECT_EQ(filter->UpdateRemoteCredential(&in, &out), S_OK);
            DiscardCoTask(out);
            platform::com_ptr<ICredentialProviderCredential> tile;
            ASSERT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, false), S_OK);
            CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response{};
            CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION logon{};
            EXPECT_EQ(tile->GetSerialization(&response, &logon, nullptr, nullptr), S_OK);
            EXPECT_EQ(response, CPGSR_RETURN_CREDENTIAL_FINISHED) << secretName;
            DiscardCoTask(logon);
            testsupport::ResetCredentials();
        }
        ::SecureZeroMemory(remote.data(), remote.size());  // the test's own copy of the ticket
        EXPECT_EQ(watch::Stop(), 0) << secretName;
    }
    ::CoUninitialize();
}

}  // namespace
