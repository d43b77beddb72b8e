// Every road a secret travels (the broker's ticket, the password, PINs, the local account's
// password) leaves the log files without it, even with every level written.
#include "base/SessionInfo.h"
#include "filter/credfilter.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"
#include "provider/cred.h"
#include "sso/Credentials.h"
#include "support/FakePlatform.h"
#include "support/LogSecrets.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "tools/logonsim/LogonUiSession.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using platform::com_ptr;
using namespace testsupport;

const wchar_t kTicket[] = L"BrokerTicket-7f3a9c";
const wchar_t kPassword[] = L"Corr3ct-Horse-Battery";
const wchar_t kPin[] = L"738291";
const wchar_t kCertPin[] = L"556677";
const wchar_t kLocalPassword[] = L"Kiosk-Secret-42";

class SecretsInLogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        registry.SetString(L"Software\\Velmora\\Zephral\\Log", L"LogFileDirectory", dir.Path());
        registry.SetString(L"Software\\Velmora\\Zephral", L"traceEnabled", L"true");
        CORE::RefreshLogSettings();
        ResetSessionIdCache();
        TheCredentials().ClearCredentials(true);
    }
    void TearDown() override { ::CoUninitialize(); }

    // Offers the record's material to a fresh tile and reports the result.
    void SerializeAndReport(LONG status) {
        TheCredentials().credentialsAvailable = true;
        com_ptr<ICredentialProviderCredential> tile;
        ASSERT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, false), S_OK);
        CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response;
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
        tile->GetSerialization(&response, &serialization, nullptr, nullptr);
        ::CoTaskMemFree(serialization.rgbSerialization);
        LPWSTR text = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon;
        tile->ReportResult(status, 0, &text, &icon);
        ::CoTaskMemFree(text);
    }

    TempDirectory dir;
    RegistrySandbox registry;
    FakePlatform fake;
    ScriptedAgent agent;
};

TEST_F(SecretsInLogsTest, NoSecretReachesAnyLogFile) {
    // A brokered RDP logon: the ticket arrives, the password comes back from the agent.
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"password", kPassword}, {L"userName", L"alice"}, {L"domainName", L"CORP"}}));
    com_ptr<ICredentialProviderFilter> filter;
    ASSERT_EQ(credfilter_CreateInstance(IID_ICredentialProviderFilter, filter.put_void()), S_OK);
    std::vector<BYTE> remote = logonsim::PackRemoteCredential({true, L"CORP", L"alice", kTicket});
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in = {2, {}, static_cast<ULONG>(remote.size()), remote.data()}, out = {};
    ASSERT_EQ(filter->UpdateRemoteCredential(&in, &out), S_OK);
    SerializeAndReport(static_cast<LONG>(0xC000006D));
    // Smart card, CertSSO with error reports to the agent, and a hybrid local account.
    Credentials& c = TheCredentials();
    c.smartCardPin = std::wstring_view(kPin);
    c.containerName = L"container";
    c.providerName = L"provider";
    SerializeAndReport(0);
    c.certLogon.containerName = L"cert-container";
    c.certLogon.pin = std::wstring_view(kCertPin);
    c.certLogon.attemptsLeft = 1;
    c.reportErrors = true;
    SerializeAndReport(static_cast<LONG>(0xC000006D));
    c.unauthUserName = L"kiosk";
    c.unauthPassword = std::wstring_view(kLocalPassword);
    SerializeAndReport(0);
    CORE::FlushLog();
    const std::wstring logs = ReadAllLogText(dir.Path());
    // The roads were logged in detail...
    for (const wchar_t* line : {L"Check for our ticket, domain=CORP, user=alice", L"cred::GetSerialization() (sessionId=2): Enter",
                                L"SendMsgToDesktopManager(SendLoginErrorEvent)"})
        EXPECT_NE(logs.find(line), std::wstring::npos) << line;
    // ...and none of their secrets.
    ExpectNoSecretInLogs(dir.Path(), {kTicket, kPassword, kPin, kCertPin, kLocalPassword});
}

}  // namespace
