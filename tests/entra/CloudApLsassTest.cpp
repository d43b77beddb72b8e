// The CloudAP road through the LSA: the request buffer, the package's answers, the network
// logon; and the readiness bits with the device identity built on them.
#include "entra/CloudApHelper.h"
#include "entra/CloudApHelperLsass.h"
#include "entra/DeviceAuthData.h"

#include "support/FakePlatform.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

TEST(CloudApLsassTest, RequestBufferLayout) {
    const std::vector<BYTE> expected = {2,    0,    0,    0,    0xC6, 0x98, 0x68, 0xB1, 0x48, 0xA1,
                                        0x67, 0x49, 0x91, 0x71, 0x64, 0xD7, 0x55, 0xDA, 0x85, 0x20,
                                        3,    0,    0,    0,    'a',  'b',  'c',  0,    0,    0};
    EXPECT_EQ(EntraAuth::BuildCloudApRequest("abc"), expected);
}

enum class Call { Nonce, Assertion, Logon };
struct AnswerCase {
    const char* name;
    Call call;
    std::string answer;  // the package's JSON text; empty: it answers nothing
    NTSTATUS status;     // of the call or the logon
    HRESULT hr;
    std::wstring nonce;
    std::vector<BYTE> blob;  // decoded, or handed to the logon
};

const std::string kNonceRequest = R"({"call":9,"correlationId":"00000000-0000-0000-0000-000000000000"})";
const std::string kAssertionRequest = R"({"call":10,"payload":"{\"rdp_assertion\":\"as\\\"sert\"}","correlationId":"00000000-0000-0000-0000-000000000000"})";

TEST(CloudApLsassTest, AnswersOfTheCloudApPackage) {
    const NTSTATUS denied = static_cast<NTSTATUS>(0xC0000022L);
    const AnswerCase cases[] = {
        {"nonce", Call::Nonce, R"({"ts_nonce":"AwAB-n\u00f6nce","x":1})", 0, S_OK, L"AwAB-n\u00f6nce", {}},
        {"no ts_nonce", Call::Nonce, R"({"nonce":"x"})", 0, E_FAIL, L"", {}},
        {"ts_nonce not text", Call::Nonce, R"({"ts_nonce":5})", 0, E_FAIL, L"", {}},
        {"no answer", Call::Nonce, "", 0, E_FAIL, L"", {}},
        {"refused", Call::Nonce, R"({"ts_nonce":"n"})", denied, HRESULT_FROM_NT(denied), L"", {}},
        {"authbuffer", Call::Assertion, R"({"authbuffer":"AQIDBA=="})", 0, S_OK, L"", {1, 2, 3, 4}},
        {"not base64", Call::Assertion, R"({"authbuffer":"!!!"})", 0, HRESULT_FROM_WIN32(ERROR_INVALID_DATA), L"", {}},
        {"logon", Call::Logon, "", 0, S_OK, L"", {5, 6, 7}},
        {"logon refused", Call::Logon, "", denied, HRESULT_FROM_NT(denied), L"", {5}},
        {"empty blob", Call::Logon, "", 0, E_INVALIDARG, L"", {}},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakePlatform fake;
        fake.lsa.packageIds["Negotiate"] = 9;
        if (!c.answer.empty()) fake.lsa.answers[c.call == Call::Nonce ? 9 : 10] = c.answer;
        fake.lsa.callStatus = fake.lsa.logonStatus = c.status;
        EntraAuth::CloudApHelperLsass helper;
        std::wstring nonce;
        EXPECT_EQ(helper.GetDeviceNonce(&nonce), E_FAIL);  // not initialized
        ASSERT_EQ(helper.Initialize(L""), S_OK);
        std::vector<BYTE> blob;
        HANDLE token = nullptr;
        switch (c.call) {
        case Call::Nonce: EXPECT_EQ(helper.GetDeviceNonce(&nonce), c.hr); break;
        case Call::Assertion: EXPECT_EQ(helper.GetCredBlobFromAssertion(L"as\"sert", L"", &blob), c.hr); break;
        case Call::Logon: EXPECT_EQ(helper.LogonUserWithCredBlob(c.blob, &token), c.hr); break;
        }
        EXPECT_EQ(fake.lsa.outstandingBuffers.load(), 0);
        if (c.call == Call::Logon) {
            EXPECT_EQ(token != nullptr, SUCCEEDED(c.hr));
            if (token) ::CloseHandle(token);
            if (c.blob.empty()) continue;
            ASSERT_EQ(fake.lsa.logons.size(), 1u);
            const auto& logon = fake.lsa.logons[0];
            EXPECT_TRUE(logon.origin == "Terminal Services API" && logon.type == Network && logon.packageId == 9u);
            EXPECT_EQ(logon.data, c.blob);
            continue;
        }
        EXPECT_EQ(nonce, c.nonce);
        EXPECT_EQ(blob, c.blob);
        ASSERT_EQ(fake.lsa.requests.size(), 1u);
        const std::vector<BYTE>& request = fake.lsa.requests[0];
        EXPECT_EQ(std::string(request.begin() + 24, request.end() - 3),
                  c.call == Call::Nonce ? kNonceRequest : kAssertionRequest);
    }
}

// Wine's wtsapi32 lacks the calls: the nonce comes from the fake CloudAP package.
struct ReadyStep {
    DWORD mask;
    bool refresh, joined, nonce;
    const wchar_t* xmlApiSwitch;  // null: unset
    bool ready;
    size_t nonceCalls;  // so far
};

TEST(RdsAadAuthTest, ReadinessBitsRememberOnlySuccesses) {
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform fake;
    fake.aadJoinPresent = true;
    const ReadyStep steps[] = {
        {1, false, false, true, nullptr, false, 0},  // not joined
        {1, false, true, true, nullptr, true, 0},
        {1, false, false, true, nullptr, true, 0},   // remembered
        {3, false, false, false, nullptr, false, 1},  // no nonce
        {3, false, false, true, nullptr, true, 2},   // checked again
        {7, false, false, false, nullptr, true, 2},  // remembered; the first switch is on by default
        {8, false, false, false, nullptr, false, 2},  // the second is off by default
        {15, false, false, false, L"yes", true, 2},
        {2, true, false, true, nullptr, true, 3},    // refresh checks again
        {1, false, false, true, nullptr, false, 3},  // and forgot the rest
    };
    for (const ReadyStep& step : steps) {
        fake.aadJoin = {step.joined ? 1u : 2u, L"dev-1", {}, {}};
        fake.lsa.answers.clear();
        if (step.nonce) fake.lsa.answers[9] = R"({"ts_nonce":"n-1"})";
        if (step.xmlApiSwitch)
            registry.SetString(L"Software\\Velmora\\Zephral\\Agent\\Configuration\\XMLAPI", L"RdsAadAuthEnabled",
                               step.xmlApiSwitch);
        EXPECT_EQ(EntraAuth::IsRdsAadAuthEnabled(step.mask, step.refresh), step.ready) << &step - steps;
        EXPECT_EQ(fake.lsa.requests.size(), step.nonceCalls) << &step - steps;
    }
    EXPECT_FALSE(EntraAuth::IsRdsAadAuthEnabled(0, false));

    // The device identity needs bits 1, 2 and 4.
    registry.SetAgentConfig(L"RdsAadAuthEnabled", L"false");
    fake.aadJoin = {1u, L"dev-1", {}, {}};
    fake.lsa.answers[9] = R"({"ts_nonce":"n-2"})";
    bool enabled = true;
    std::wstring deviceId, nonce, certificate;
    EXPECT_EQ(EntraAuth::GetDeviceIdAndNonce(&enabled, &deviceId, &nonce, L"c-1"), S_OK);
    EXPECT_FALSE(enabled);
    registry.SetAgentConfig(L"RdsAadAuthEnabled", L"true");
    EXPECT_EQ(EntraAuth::GetDeviceIdAndNonce(&enabled, &deviceId, &nonce, L"c-1"), S_OK);
    EXPECT_TRUE(enabled && deviceId == L"dev-1" && nonce == L"n-2");
    EXPECT_FALSE(EntraAuth::GetDeviceAadAuthData(L"c-1", &deviceId, &nonce, &certificate));  // no certificate
}

}  // namespace
