// The CloudAP road through the LSA: the request buffer, the package's answers, the network
// logon; and the readiness bits with the device identity built on them.
#include "entra/CloudApHelper.h"
#include "entra/CloudApHelperLsass.h"
#include "entra/DeviceAuthData.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

const std::string kZeroId = "00000000-0000-0000-0000-000000000000";

std::string RequestText(const std::vector<BYTE>& request) {
    return request.size() < 27 ? std::string() : std::string(request.begin() + 24, request.end() - 3);
}

TEST(CloudApLsassTest, RequestBufferLayout) {
    const std::vector<BYTE> expected = {2,    0,    0,    0,    0xC6, 0x98, 0x68, 0xB1, 0x48, 0xA1,
                                        0x67, 0x49, 0x91, 0x71, 0x64, 0xD7, 0x55, 0xDA, 0x85, 0x20,
                                        3,    0,    0,    0,    'a',  'b',  'c',  0,    0,    0};
    EXPECT_EQ(EntraAuth::BuildCloudApRequest("abc"), expected);
    EXPECT_EQ(EntraAuth::BuildCloudApRequest("").size(), 27u);
}

struct AnswerCase {
    const char* name;
    std::string answer;  // empty: the package answers nothing
    NTSTATUS callStatus, protocolStatus;
    bool assertion;  // the assertion call (10), else the nonce call (9)
    HRESULT hr;
    std::wstring nonce;
    std::vector<BYTE> blob;
};

TEST(CloudApLsassTest, AnswersOfTheCloudApPackage) {
    const NTSTATUS denied = static_cast<NTSTATUS>(0xC0000022L);
    const AnswerCase cases[] = {
        {"nonce", R"({"ts_nonce":"AwAB-n\u00f6nce","other":1})", 0, 0, false, S_OK, L"AwAB-n\u00f6nce", {}},
        {"no ts_nonce", R"({"nonce":"x"})", 0, 0, false, E_FAIL, L"", {}},
        {"empty ts_nonce", R"({"ts_nonce":""})", 0, 0, false, E_FAIL, L"", {}},
        {"ts_nonce not text", R"({"ts_nonce":5})", 0, 0, false, E_FAIL, L"", {}},
        {"not JSON", "ts_nonce", 0, 0, false, E_FAIL, L"", {}},
        {"no answer", "", 0, 0, false, E_FAIL, L"", {}},
        {"call refused", R"({"ts_nonce":"n"})", denied, 0, false, HRESULT_FROM_NT(denied), L"", {}},
        {"package refused", R"({"ts_nonce":"n"})", 0, denied, false, HRESULT_FROM_NT(denied), L"", {}},
        {"authbuffer", R"({"authbuffer":"AQIDBA=="})", 0, 0, true, S_OK, L"", {1, 2, 3, 4}},
        {"no authbuffer", R"({"auth":"AQID"})", 0, 0, true, E_FAIL, L"", {}},
        {"authbuffer not base64", R"({"authbuffer":"!!!"})", 0, 0, true, HRESULT_FROM_WIN32(ERROR_INVALID_DATA), L"",
         {}},
        {"assertion refused", R"({"authbuffer":"AQID"})", denied, 0, true, HRESULT_FROM_NT(denied), L"", {}},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakePlatform fake;
        if (!c.answer.empty()) fake.lsa.answers[c.assertion ? 10 : 9] = c.answer;
        fake.lsa.callStatus = c.callStatus;
        fake.lsa.protocolStatus = c.protocolStatus;
        EntraAuth::CloudApHelperLsass helper;
        ASSERT_EQ(helper.Initialize(c.assertion ? L"corr-1" : L""), S_OK);
        EXPECT_EQ(helper.GetCloudApPackageId(), 4u);
        std::wstring nonce;
        std::vector<BYTE> blob;
        EXPECT_EQ(c.assertion ? helper.GetCredBlobFromAssertion(L"as\"sert", L"unused", &blob)
                              : helper.GetDeviceNonce(&nonce),
                  c.hr);
        EXPECT_EQ(nonce, c.nonce);
        EXPECT_EQ(blob, c.blob);
        ASSERT_EQ(fake.lsa.requests.size(), 1u);
        EXPECT_EQ(RequestText(fake.lsa.requests[0]),
                  c.assertion ? R"({"call":10,"payload":"{\"rdp_assertion\":\"as\\\"sert\"}","correlationId":"corr-1"})"
                              : R"({"call":9,"correlationId":")" + kZeroId + R"("})");
        EXPECT_EQ(fake.lsa.outstandingBuffers.load(), 0);
    }
}

struct LogonCase {
    const char* name;
    std::vector<BYTE> blob;
    NTSTATUS status, subStatus;
    bool noToken;
    HRESULT hr;
};

TEST(CloudApLsassTest, NetworkLogonThroughNegotiate) {
    const NTSTATUS failure = static_cast<NTSTATUS>(0xC000006DL);
    const LogonCase cases[] = {
        {"logon", {5, 6, 7}, 0, 0, false, S_OK},
        {"refused", {5}, failure, 0, false, HRESULT_FROM_NT(failure)},
        {"refused by the package", {5}, 0, failure, false, HRESULT_FROM_NT(failure)},
        {"no token", {5}, 0, 0, true, E_FAIL},
        {"empty blob", {}, 0, 0, false, E_INVALIDARG},
    };
    for (const LogonCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakePlatform fake;
        fake.lsa.packageIds["Negotiate"] = 9;
        fake.lsa.logonStatus = c.status;
        fake.lsa.logonSubStatus = c.subStatus;
        fake.lsa.logonGivesNoToken = c.noToken;
        EntraAuth::CloudApHelperLsass helper;
        HANDLE token = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(helper.LogonUserWithCredBlob(c.blob, &token), E_FAIL);  // not initialized
        ASSERT_EQ(helper.Initialize(L""), S_OK);
        EXPECT_EQ(helper.LogonUserWithCredBlob(c.blob, &token), c.hr);
        EXPECT_EQ(token != nullptr, SUCCEEDED(c.hr));
        if (token) ::CloseHandle(token);
        EXPECT_EQ(fake.lsa.outstandingBuffers.load(), 0);
        if (c.blob.empty()) continue;
        ASSERT_EQ(fake.lsa.logons.size(), 1u);
        EXPECT_EQ(fake.lsa.logons[0].origin, "Terminal Services API");
        EXPECT_EQ(fake.lsa.logons[0].type, Network);
        EXPECT_EQ(fake.lsa.logons[0].packageId, 9u);
        EXPECT_EQ(fake.lsa.logons[0].data, c.blob);
    }
}

// Wine's wtsapi32 lacks the calls: the nonce comes from the fake CloudAP package.
struct ReadyStep {
    const char* name;
    DWORD mask;
    bool refresh, joined, nonce;
    const wchar_t* configSwitch;  // "RdsAadAuthEnabled", null: unset
    const wchar_t* xmlApiSwitch;
    bool ready;
    size_t nonceCalls;  // so far
};

TEST(RdsAadAuthTest, ReadinessBitsRememberOnlySuccesses) {
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform fake;
    fake.aadJoinPresent = true;
    const ReadyStep steps[] = {
        {"nothing asked", 0, false, true, true, nullptr, nullptr, false, 0},
        {"not joined", 1, false, false, true, nullptr, nullptr, false, 0},
        {"joined", 1, false, true, true, nullptr, nullptr, true, 0},
        {"joined is remembered", 1, false, false, true, nullptr, nullptr, true, 0},
        {"no nonce", 3, false, false, false, nullptr, nullptr, false, 1},
        {"failure is checked again", 3, false, false, true, nullptr, nullptr, true, 2},
        {"nonce is remembered", 3, false, false, false, nullptr, nullptr, true, 2},
        {"switched off", 7, false, false, false, L"false", nullptr, false, 2},
        {"switched on by default", 7, false, false, false, nullptr, nullptr, true, 2},
        {"second switch off by default", 8, false, false, false, nullptr, nullptr, false, 2},
        {"second switch on", 15, false, false, false, nullptr, L"yes", true, 2},
        {"refresh forgets", 3, true, true, false, nullptr, nullptr, false, 3},
        {"refresh checks all again", 2, true, false, true, nullptr, nullptr, true, 4},
    };
    const std::wstring config = L"Software\\Velmora\\Zephral\\Agent\\Configuration";
    for (const ReadyStep& step : steps) {
        SCOPED_TRACE(step.name);
        fake.aadJoin = {step.joined ? 1u : 2u, L"dev-1", {}, {}};
        fake.lsa.answers.clear();
        if (step.nonce) fake.lsa.answers[9] = R"({"ts_nonce":"n-1"})";
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, config.c_str(), L"RdsAadAuthEnabled");
        if (step.configSwitch) registry.SetAgentConfig(L"RdsAadAuthEnabled", step.configSwitch);
        if (step.xmlApiSwitch) registry.SetString(config + L"\\XMLAPI", L"RdsAadAuthEnabled", step.xmlApiSwitch);
        EXPECT_EQ(EntraAuth::IsRdsAadAuthEnabled(step.mask, step.refresh), step.ready);
        EXPECT_EQ(fake.lsa.requests.size(), step.nonceCalls);
    }
    // All bits held: the device identity follows; no certificate in the stores ends it.
    bool enabled = false;
    std::wstring deviceId, nonce, certificate;
    fake.aadJoin = {1u, L"dev-1", {}, {}};
    fake.lsa.answers[9] = R"({"ts_nonce":"n-2"})";
    EXPECT_EQ(EntraAuth::GetDeviceIdAndNonce(&enabled, &deviceId, &nonce, L"c-1"), S_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(deviceId, L"dev-1");
    EXPECT_EQ(nonce, L"n-2");
    testsupport::LogCapture log;
    EXPECT_FALSE(EntraAuth::GetDeviceAadAuthData(L"c-1", &deviceId, &nonce, &certificate));
    EXPECT_TRUE(log.Contains(L"[EntraAuth] EntraAuth::GetDeviceAadAuthData: IsP2PCertAvailable is FALSE"));
    fake.lsa.answers.clear();
    EXPECT_EQ(EntraAuth::GetDeviceIdAndNonce(&enabled, &deviceId, &nonce, L"c-1"), E_FAIL);
    EXPECT_EQ(EntraAuth::IsRdsAadAuthEnabled(7, true), false);
    EXPECT_EQ(EntraAuth::GetDeviceIdAndNonce(&enabled, &deviceId, &nonce, L"c-1"), S_OK);
    EXPECT_FALSE(enabled);
}

}  // namespace
