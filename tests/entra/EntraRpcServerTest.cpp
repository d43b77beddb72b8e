// The service's routines of the Entra interface, called as its stubs call them, with a recorded
// completion; and the stand-in client's check of the signed request they send. The routines
// across processes, with the module's client, are the end-to-end roads.
#include "entra/service/EntraRpcServer.h"

#include "P2PStores.h"
#include "support/FakePlatform.h"
#include "tools/agentsim/SignedRequestCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using EntraAuth::OnClientAssertion;

struct RecordedCall final : EntraAuth::IAsyncRpcCall {
    RPC_STATUS Complete(HRESULT reply) override {
        ++completions, hr = reply;
        return RPC_S_OK;
    }
    int completions = 0;
    HRESULT hr = S_OK;
    wchar_t* assertion = nullptr;
    std::wstring Taken() {  // the out string, freed as the stub would
        std::wstring text = assertion ? assertion : L"";
        MIDL_user_free(assertion), assertion = nullptr;
        return text;
    }
};

class EntraRpcServerTest : public testing::Test {
protected:
    void SetUp() override {
        fake_.aadJoinPresent = true;
        fake_.aadJoin.joinType = 1;
        const std::string id = entratest::DeviceId();
        fake_.aadJoin.deviceId = std::wstring(id.begin(), id.end());
        fake_.cloudAuthLibrary = L"tc_no_such_cloudauth.dll";  // the LSA's CloudAP gives the nonce
        fake_.lsa.answers[9] = R"({"ts_nonce":"nonce-7"})";
        stores_.AddDevice("device-p2p");
        stores_.AddIssuer("p2p-issuer");
        EntraAuth::ReopenServer();
        EntraAuth::SetSendFunction([this](const std::vector<BYTE>& message) {
            sent_.push_back(message);
            return sendSucceeds_;
        });
        EntraAuth::SetClientConnected(true);
    }
    void TearDown() override { EntraAuth::CloseServer(), EntraAuth::SetSendFunction(nullptr); }
    void Request(RecordedCall& call, uint64_t id) {
        EntraAuth::ServerRpcRequestRdpAssertionFromClient(&call, nullptr, id, L"S-1-12-1-9", L"corr-1", &call.assertion);
    }
    void Wait(RecordedCall& call, uint64_t id) {
        EntraAuth::ServerRpcGetRdpAssertionFromClient(&call, nullptr, id, &call.assertion);
    }
    testsupport::FakePlatform fake_;
    entratest::P2PStores stores_;
    std::vector<std::vector<BYTE>> sent_;
    bool sendSucceeds_ = true;
};

TEST_F(EntraRpcServerTest, ARequestIsSignedSentAndCompletedByItsAnswerOnly) {
    RecordedCall call;
    Request(call, 0x500000007);
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(call.completions, 0);  // pending until the client answers
    agentsim::SignedRequest request;
    std::string why;
    ASSERT_TRUE(agentsim::VerifySignedRequest(sent_[0], &request, &why)) << why;
    EXPECT_EQ(request.requestId, 0x500000007u);
    EXPECT_EQ(request.deviceNonce, "nonce-7");
    EXPECT_EQ(request.correlationId, "corr-1");
    EXPECT_EQ(request.brokerSid, "S-1-12-1-9");
    OnClientAssertion(0x500000008, S_OK, L"not-this-one");
    EXPECT_EQ(call.completions, 0);
    OnClientAssertion(0x500000007, S_OK, L"rdp-assertion");
    EXPECT_EQ(call.completions, 1);
    EXPECT_EQ(call.Taken(), L"rdp-assertion");

    // The stand-in client believes nothing that was changed after signing.
    for (size_t at : {size_t{5}, sent_[0].size() / 2, sent_[0].size() - 3}) {
        std::vector<BYTE> tampered = sent_[0];
        tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(agentsim::VerifySignedRequest(tampered, &request, &why)) << at;
    }
    sendSucceeds_ = false;  // a request that cannot be sent fails its call at once
    Request(call, 0x500000009);
    EXPECT_EQ(call.completions, 2);
    EXPECT_EQ(call.hr, E_FAIL);
}

TEST_F(EntraRpcServerTest, AnAnswerIsKeptForOneWaitAndQueuedRequestsGoOutOnConnect) {
    OnClientAssertion(42, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), L"");
    RecordedCall early, again;
    Wait(early, 42);
    EXPECT_EQ(early.completions, 1);
    EXPECT_EQ(early.hr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    Wait(again, 42);  // handed out once: this call waits for a new answer
    EXPECT_EQ(again.completions, 0);

    RecordedCall replaced;  // a second wait for the same request gives the first up
    Wait(replaced, 42);
    EXPECT_EQ(again.completions, 1);
    EXPECT_EQ(again.hr, E_ABORT);

    EntraAuth::SetClientConnected(false);
    RecordedCall queued;
    Request(queued, 43);
    EXPECT_TRUE(sent_.empty());
    EntraAuth::SetClientConnected(true);
    EXPECT_EQ(sent_.size(), 1u);

    EntraAuth::CloseServer();  // stopping ends every pending call and refuses new ones
    EXPECT_EQ(replaced.hr, E_ABORT);
    EXPECT_EQ(queued.hr, E_ABORT);
    RecordedCall late;
    Wait(late, 44);
    EXPECT_EQ(late.completions, 1);
    EXPECT_EQ(late.hr, E_FAIL);
}

}  // namespace
