#include "sso/AgentRequests.h"
#include "sso/Credentials.h"

#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

class CredentialsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSessionIdCache();
        guid = L"TcfiltrTest-" + std::to_wstring(::GetCurrentProcessId());
    }
    void TearDown() override {
        CleanupOfflineChannel();
        ResetSessionIdCache();
    }
    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    Credentials creds;
    std::wstring guid;
};

void Fill(Credentials& c) {
    c.userName = L"alice", c.domainName = L"CORP", c.password = std::wstring_view(L"{SSO-AES:0}secret");
    c.brokerUserSid = L"S-1-5-21-1", c.dnsDomainName = L"corp.example", c.upnList = {L"alice@corp.example"};
    c.smartCardPin = std::wstring_view(L"1234"), c.smartCardReader = L"Reader 0", c.smartCardHintUpn = L"hint@corp.example";
    c.cardName = L"card", c.containerName = L"container", c.providerName = L"provider", c.keySpec = 1;
    c.certLogon.containerName = L"certContainer", c.certLogon.pin = std::wstring_view(L"9876");
    c.certLogon.attemptsLeft = 3, c.sessionGuid = L"guid", c.certificateSsoId = L"certId", c.reportErrors = true;
    c.unauthUserName = L"kiosk", c.unauthPassword = std::wstring_view(L"kioskpw"), c.activityCount = 0x50000;
    c.whfbCertPin = std::wstring_view(L"4321"), c.whfbCertCtxId = L"ctx";
    c.ticketFound = c.credentialsAvailable = c.isUnlockScenario = c.isCertSsoUnlockEnabled = true;
}

TEST_F(CredentialsTest, ClearForgetsTheAttemptButKeepsSessionWideFacts) {
    Fill(creds);
    ::SetEvent(creds.m_entraAuthRdpAssertionComplete.get());
    creds.ClearCredentials(false);
    EXPECT_TRUE(creds.userName.empty() && creds.domainName.empty() && creds.password.empty() &&
                creds.brokerUserSid.empty() && creds.dnsDomainName.empty() && creds.smartCardPin.empty());
    EXPECT_TRUE(creds.upnList.empty() && creds.smartCardReader.empty() && creds.cardName.empty() &&
                creds.containerName.empty() && creds.providerName.empty());
    EXPECT_TRUE(creds.unauthUserName.empty() && creds.unauthPassword.empty() && creds.whfbCertPin.empty());
    EXPECT_FALSE(creds.ticketFound || creds.credentialsAvailable || creds.reportErrors || creds.activityCount);
    EXPECT_EQ(::WaitForSingleObject(creds.m_entraAuthRdpAssertionComplete.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // What belongs to the session, not to one attempt, survives.
    EXPECT_TRUE(creds.smartCardHintUpn == L"hint@corp.example" && creds.keySpec == 1u && creds.isUnlockScenario &&
                creds.isCertSsoUnlockEnabled);
    EXPECT_TRUE(creds.certLogon.containerName == L"certContainer" && creds.certLogon.pin == L"9876");
    EXPECT_TRUE(creds.sessionGuid == L"guid" && creds.certificateSsoId == L"certId" && creds.whfbCertCtxId == L"ctx");
    EXPECT_TRUE(log.Contains(L"Credentials::ClearCredentials(): Enter"));
    log.Clear();
    creds.ClearCredentials(true);
    EXPECT_FALSE(log.Contains(L"ClearCredentials"));
}

TEST_F(CredentialsTest, PredicatesNeedTheUnlockScenario) {
    creds.isCertSsoUnlockEnabled = true;
    creds.isWhfbCertSsoUnlockEnabled = true;
    creds.isEntraUnlockEnabled = true;
    EXPECT_FALSE(creds.IsCertSsoUnlock() || creds.IsWhfbCertSsoUnlock() || creds.IsEntraUnlock());
    creds.isUnlockScenario = true;
    EXPECT_TRUE(creds.IsCertSsoUnlock() && creds.IsWhfbCertSsoUnlock() && creds.IsEntraUnlock());
}

TEST_F(CredentialsTest, AgentSignalReleasesTheWait) {
    ASSERT_TRUE(creds.InitCertSsoUnlockEvent(CertSsoUnlockEventName(guid)));
    platform::unique_handle agent(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CertSsoUnlockEventName(guid).c_str()));
    ASSERT_TRUE(agent);
    ::SetEvent(agent.get());
    CORE::PropertyBag answer;
    EXPECT_TRUE(creds.WaitForCertSsoUnlockEvent(answer));
    EXPECT_EQ(answer.GetError(), 0u);
    EXPECT_TRUE(log.Contains(L"CertSsoUnlockEvent received notif (CredFilter)", CORE::LOG_TRACE));
}

TEST_F(CredentialsTest, ASignalLeftFromBeforeInitDoesNotCount) {
    platform::unique_handle early(::CreateEventW(nullptr, FALSE, TRUE, CertSsoUnlockEventName(guid).c_str()));
    ASSERT_TRUE(creds.InitCertSsoUnlockEvent(CertSsoUnlockEventName(guid)));
    registry.SetAgentConfig(L"CertSSOCredNotifTimeout", L"0");
    CORE::PropertyBag answer;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(creds.WaitForCertSsoUnlockEvent(answer));
    EXPECT_LT(::GetTickCount64() - start, 5000u);  // a zero time-out is a poll, not the 45 s default
    EXPECT_EQ(answer.GetErrorText(L""), L"CertSsoUnlockEvent timed out");
}

// A waiter is released with success whether the event is set up again under the same name or
// cleared; after clearing, later waits fail at once.
TEST_F(CredentialsTest, ReinitialisingOrClearingReleasesAWaiter) {
    for (bool clear : {false, true}) {
        log.Clear();
        ASSERT_TRUE(creds.InitCertSsoUnlockEvent(CertSsoUnlockEventName(guid)));
        std::atomic<int> outcome{-1};
        std::thread waiter([&] {
            CORE::PropertyBag answer;
            outcome = creds.WaitForCertSsoUnlockEvent(answer) ? 1 : 0;
        });
        ASSERT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"Credentials::WaitForCertSsoUnlockEvent() (sessionId"); }));
        if (clear)
            creds.certLogon.ClearEvent();
        else
            ASSERT_TRUE(creds.InitCertSsoUnlockEvent(CertSsoUnlockEventName(guid)));
        waiter.join();
        EXPECT_EQ(outcome.load(), 1) << clear;
    }
    CORE::PropertyBag answer;
    EXPECT_FALSE(creds.WaitForCertSsoUnlockEvent(answer));
    EXPECT_EQ(answer.GetError(), 1u);
    EXPECT_EQ(answer.GetErrorText(L""), L"CertSsoUnlockEvent released or not initialized");
}

TEST_F(CredentialsTest, RemovalDataIsWrittenOnlyWhenARemovalActionIsConfigured) {
    fake.sessionId = 3;
    creds.smartCardReader = L"R";
    creds.activityCount = 0x00050000;
    const std::wstring policyKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Removal Policy";
    auto written = [&] {
        std::vector<BYTE> bytes(64);
        DWORD size = 64;
        LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, policyKey.c_str(), L"3", RRF_RT_REG_BINARY, nullptr,
                                        bytes.data(), &size);
        bytes.resize(status == ERROR_SUCCESS ? size : 0);
        return bytes;
    };
    creds.SendReaderToSmartCardService();
    EXPECT_TRUE(written().empty());
    registry.SetString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"ScRemoveOption", L"0");
    creds.SendReaderToSmartCardService();
    EXPECT_TRUE(written().empty());
    registry.SetString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"ScRemoveOption", L"1");
    creds.SendReaderToSmartCardService();
    EXPECT_EQ(written(), (std::vector<BYTE>{0x52, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00}));
    EXPECT_TRUE(log.Contains(L"Successfully wrote smart card removal data for reader 'R', session '3'"));
}

TEST_F(CredentialsTest, PopulateWithoutAnAgentLeavesNothingAvailable) {
    Fill(creds);
    PopulateCredentials(creds);
    EXPECT_FALSE(creds.credentialsAvailable);
    EXPECT_FALSE(creds.ticketFound);
    EXPECT_TRUE(creds.password.empty());
    EXPECT_TRUE(log.Contains(L"Could not contact node manager"));
}

TEST_F(CredentialsTest, UnlockCheckWithoutAnAgentKeepsThePreviousFlags) {
    creds.isWhfbCertSsoUnlockEnabled = true;
    EXPECT_TRUE(CheckDMIfCertSsoUsed(creds));
    creds.isWhfbCertSsoUnlockEnabled = false;
    EXPECT_FALSE(CheckDMIfCertSsoUsed(creds));
}

class FakeEntra : public IEntraContext {
public:
    explicit FakeEntra(HRESULT status) : status_(status) {}
    HRESULT GetStatus() override { return status_; }
    HRESULT SerializeCredential(BYTE**, ULONG*) override { return E_NOTIMPL; }
    void WipeAssertion() override { ++wiped; }
    int wiped = 0;

private:
    HRESULT status_;
};

TEST_F(CredentialsTest, EntraWaitHappensOnlyForAPendingRequest) {
    creds.WaitForClientEntraAuthCompletion();
    EXPECT_TRUE(log.Contains(L"[EntraAuth] Null entra auth context", CORE::LOG_ERROR));
    creds.SetEntraContext(std::make_unique<FakeEntra>(S_OK));
    creds.WaitForClientEntraAuthCompletion();
    EXPECT_FALSE(log.Contains(L"SSO timed out"));
    registry.SetAgentConfig(L"CertSSOCredNotifTimeout", L"0");
    creds.SetEntraContext(std::make_unique<FakeEntra>(E_PENDING));
    creds.WaitForClientEntraAuthCompletion();
    EXPECT_TRUE(log.Contains(L"WaitForClientEntraAuthCompletion(): [EntraAuth] SSO timed out"));
}

TEST_F(CredentialsTest, EntraCompletionAsksForARetryOnlyWhenCredentialsAreReady) {
    OfflineChannel* channel = GetOfflineChannel();
    static std::atomic<int> callbacks{0};
    std::wstring name = L"Local\\TcfiltrTest.Entra." + std::to_wstring(::GetCurrentProcessId());
    channel->SetReEnumerationCallback([](void*, bool explicitRequest) { callbacks += explicitRequest ? 1 : 100; },
                                      name.c_str());
    channel->Start();
    creds.OnEntraAuthComplete();  // nothing ready yet
    EXPECT_FALSE(log.Contains(L"OfflineChannel::RequestSSORetry()"));
    creds.credentialsAvailable = true;
    creds.OnEntraAuthComplete();
    ASSERT_TRUE(testsupport::WaitFor([] { return callbacks.load() != 0; }));
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_EQ(::WaitForSingleObject(creds.m_entraAuthRdpAssertionComplete.get(), 0), WAIT_OBJECT_0);
    // Clearing wipes the assertion but keeps the request itself.
    auto* entra = new FakeEntra(S_OK);
    creds.SetEntraContext(std::unique_ptr<IEntraContext>(entra));
    creds.ClearCredentials(true);
    EXPECT_EQ(entra->wiped, 1);
    EXPECT_EQ(creds.entraContext.get(), entra);
}

}  // namespace
