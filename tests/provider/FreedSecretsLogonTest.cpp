// A brokered logon inside this process (the filter takes the ticket, the agent answers, the tile
// builds the logon buffer), once with a password and once with a CertSSO PIN: when the logon is
// over and the record cleared, no block freed on the way held the ticket or the secret. Then the
// other roads a secret travels (a smart card PIN, CertSSO with error reports to the agent, the
// local account's password): no log file holds any of the secrets, even with every level written.
#include "base/SessionInfo.h"
#include "filter/credfilter.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"
#include "provider/cred.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakePlatform.h"
#include "support/FreedMemoryWatch.h"
#include "support/LogSecrets.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "tools/logonsim/LogonUiSession.h"

#include <gtest/gtest.h>

namespace {

namespace watch = testsupport::freedwatch;
constexpr wchar_t kCanary[] = L"Canary-77e1-secret";  // the secret; the ticket starts with it too
const wchar_t kPin[] = L"738291", kCertPin[] = L"556677", kLocalPassword[] = L"Kiosk-Secret-42";
constexpr LONG kLogonFailure = static_cast<LONG>(0xC000006D);

void DiscardCoTask(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION& serialization) {
    if (serialization.rgbSerialization)
        ::SecureZeroMemory(serialization.rgbSerialization, serialization.cbSerialization);
    ::CoTaskMemFree(serialization.rgbSerialization);
}

class SecretsLogonTest : public testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        registry.SetString(L"Software\\Velmora\\Zephral\\Log", L"LogFileDirectory", dir.Path());
        registry.SetString(L"Software\\Velmora\\Zephral", L"traceEnabled", L"true");
        CORE::RefreshLogSettings(), ResetSessionIdCache(), testsupport::ResetCredentials();
    }
    void TearDown() override { ::CoUninitialize(); }
    // Offers the record's material to a fresh tile and reports `status`; answers the response.
    CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE SerializeAndReport(LONG status) {
        TheCredentials().credentialsAvailable = true;
        platform::com_ptr<ICredentialProviderCredential> tile;
        EXPECT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, false), S_OK);
        CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response{};
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION logon{};
        EXPECT_EQ(tile->GetSerialization(&response, &logon, nullptr, nullptr), S_OK);
        DiscardCoTask(logon);
        LPWSTR text = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon;
        tile->ReportResult(status, 0, &text, &icon), ::CoTaskMemFree(text);
        return response;
    }

    testsupport::TempDirectory dir;
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform fake;
    testsupport::ScriptedAgent agent;
};

TEST_F(SecretsLogonTest, NoFreedBlockOrLogFileHoldsTheTicketOrASecret) {
    for (const wchar_t* secretName : {L"password", L"certLogonPin"}) {
        testsupport::ResetCredentials();
        CORE::PropertyBag answer = testsupport::Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}});
        answer.SetSecret(secretName, CORE::SecureWString(kCanary));
        if (secretName[0] == L'c') answer.Set(L"certLogonContainerName", L"le-container");
        agent.Answer(L"GetCredentialsForTicket", answer);
        const std::wstring ticket = std::wstring(kCanary) + L"-ticket";
        std::vector<BYTE> remote = logonsim::PackRemoteCredential({true, L"CORP", L"alice", ticket});
        watch::Start(kCanary);
        {
            platform::com_ptr<ICredentialProviderFilter> filter;
            ASSERT_EQ(credfilter_CreateInstance(IID_ICredentialProviderFilter, filter.put_void()), S_OK);
            const ULONG size = static_cast<ULONG>(remote.size());
            CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in{2, {}, size, remote.data()}, out{};
            EXPECT_EQ(filter->UpdateRemoteCredential(&in, &out), S_OK);
            DiscardCoTask(out);
            EXPECT_EQ(SerializeAndReport(kLogonFailure), CPGSR_RETURN_CREDENTIAL_FINISHED) << secretName;
            testsupport::ResetCredentials();
        }
        ::SecureZeroMemory(remote.data(), remote.size());  // the test's own copy of the ticket
        EXPECT_EQ(watch::Stop(), 0) << secretName;
    }
    Credentials& c = TheCredentials();
    c.smartCardPin = std::wstring_view(kPin), c.containerName = L"container", c.providerName = L"provider";
    SerializeAndReport(0);
    c.certLogon.containerName = L"cert-container", c.certLogon.pin = std::wstring_view(kCertPin);
    c.certLogon.attemptsLeft = 1, c.reportErrors = true;
    SerializeAndReport(kLogonFailure);
    c.unauthUserName = L"kiosk", c.unauthPassword = std::wstring_view(kLocalPassword);
    SerializeAndReport(0);
    CORE::FlushLog();
    const std::wstring logs = testsupport::ReadAllLogText(dir.Path());
    // The roads were logged in detail...
    for (const wchar_t* line : {L"Check for our ticket, domain=CORP, user=alice",
                                L"cred::GetSerialization() (sessionId=2): Enter",
                                L"SendMsgToDesktopManager(SendLoginErrorEvent)"})
        EXPECT_NE(logs.find(line), std::wstring::npos) << line;
    // ...and none of their secrets.
    testsupport::ExpectNoSecretInLogs(dir.Path(), {kCanary, kPin, kCertPin, kLocalPassword});
}

}  // namespace
