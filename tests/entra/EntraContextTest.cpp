// The Entra request context against a scripted service in this process: which call the bag
// leads to, what the answer makes of the status, and that an abandoned call never holds its
// owner, whether the service never started or never answers.
#include "entra/EntraAsyncCredentialContext.h"

#include "EntraAuthRpc.h"  // the server stub's header (Stub_ prefix)
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

using CORE::PropertyBag;

// The scripted service's endpoint and readiness event; test programs run side by side.
const DWORD kSession = 100000 + ::GetCurrentProcessId();

// What the scripted service answers and what it was asked.
struct Service {
    std::atomic<int> calls{0};
    int opnum = -1;
    uint64_t requestId = 0;
    std::wstring brokerUserSid, correlationId;
    HRESULT hr = S_OK;
    const wchar_t* assertion = L"eyJhc3NlcnRpb24i";  // null: answers without one
    platform::unique_handle release{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};  // reset: hangs
} g_service;

LONG Answer(wchar_t** assertion) {
    ++g_service.calls;
    ::WaitForSingleObject(g_service.release.get(), INFINITE);  // set again by the test that reset it
    if (g_service.assertion) {
        const size_t bytes = (std::wcslen(g_service.assertion) + 1) * sizeof(wchar_t);
        *assertion = static_cast<wchar_t*>(MIDL_user_allocate(bytes));
        std::memcpy(*assertion, g_service.assertion, bytes);
    }
    return g_service.hr;
}

}  // namespace

extern "C" LONG __cdecl Stub_RpcRequestRdpAssertionFromClient(handle_t, unsigned __int64 requestId, const wchar_t* sid,
                                                              const wchar_t* correlationId, wchar_t** assertion) {
    g_service.opnum = 0, g_service.requestId = requestId, g_service.brokerUserSid = sid,
    g_service.correlationId = correlationId;
    return Answer(assertion);
}
extern "C" LONG __cdecl Stub_RpcGetRdpAssertionFromClient(handle_t, unsigned __int64 requestId, wchar_t** assertion) {
    g_service.opnum = 1, g_service.requestId = requestId;
    return Answer(assertion);
}

namespace {

class EntraContextTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::wstring endpoint = L"ZeveviZuzWin32Rpc_" + std::to_wstring(kSession);
        ASSERT_EQ(::RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")), 4,
                                           reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(endpoint.c_str())), nullptr),
                  RPC_S_OK);
        ASSERT_EQ(::RpcServerRegisterIf(Stub_DazEntraAuth_v1_0_s_ifspec, nullptr, nullptr), RPC_S_OK);
        ASSERT_EQ(::RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE), RPC_S_OK);
        started_.reset(::CreateEventW(nullptr, TRUE, TRUE, (L"Global\\ZeveviZuzWin32RpcStarted_" + std::to_wstring(kSession)).c_str()));
    }
    void SetUp() override {
        fake_.sessionId = kSession;
        g_service.calls = 0, g_service.opnum = -1, g_service.hr = S_OK, g_service.assertion = L"eyJhc3NlcnRpb24i";
        ::SetEvent(g_service.release.get());
    }
    // The context's status once its call has come back (the owner's callback says so).
    HRESULT StatusAfterAnswer(const PropertyBag& bag) {
        platform::unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        EntraAuth::EntraAsyncCredentialContext context(bag, [&] { ::SetEvent(done.get()); });
        EXPECT_EQ(::WaitForSingleObject(done.get(), 30000), WAIT_OBJECT_0);
        return context.GetStatus();
    }
    static PropertyBag Bag(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> items) {
        PropertyBag bag;
        bag.Set(L"CORRELATIONID", L"6f1c0d2a-0000-4000-8000-00000000c0de");
        bag.Set(L"RESOURCEURI", L"ms-device-service://termsrv.wvd.microsoft.com/name/vm-1");
        for (const auto& [name, value] : items) bag.Set(name, value);
        return bag;
    }
    testsupport::FakePlatform fake_;
    static inline platform::unique_handle started_;
};

TEST_F(EntraContextTest, TheBagDecidesTheCallOrThatNoneIsMade) {
    {  // an assertion from the broker wins over a request id: no call at all
        EntraAuth::EntraAsyncCredentialContext context(Bag({{L"rdpAssertion", L"abc"}, {L"REQUESTID", L"7"}}), nullptr);
        EXPECT_EQ(context.GetStatus(), S_OK);
        context.WipeAssertion();
        EXPECT_EQ(context.GetStatus(), S_OK);  // the length stays
    }
    PropertyBag noCorrelation = Bag({});
    noCorrelation.Set(L"CORRELATIONID", L"");
    EXPECT_EQ(EntraAuth::EntraAsyncCredentialContext(noCorrelation, nullptr).GetStatus(), E_INVALIDARG);
    EXPECT_EQ(EntraAuth::EntraAsyncCredentialContext(Bag({{L"REQUESTID", L"12x"}}), nullptr).GetStatus(), E_INVALIDARG);
    EXPECT_EQ(g_service.calls.load(), 0);

    EXPECT_EQ(StatusAfterAnswer(Bag({{L"REQUESTID", L"18446744073709551615"}})), S_OK);
    EXPECT_EQ(g_service.opnum, 1);
    EXPECT_EQ(g_service.requestId, 18446744073709551615ull);

    const uint64_t before = (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) | ::GetTickCount();
    EXPECT_EQ(StatusAfterAnswer(Bag({{L"BROKERUSERSID", L"S-1-12-1-42"}})), S_OK);
    EXPECT_EQ(g_service.opnum, 0);
    EXPECT_EQ(g_service.requestId >> 32, ::GetCurrentProcessId());
    EXPECT_GE(g_service.requestId, before);
    EXPECT_EQ(g_service.brokerUserSid, L"S-1-12-1-42");
    EXPECT_EQ(g_service.correlationId, L"6f1c0d2a-0000-4000-8000-00000000c0de");
}

TEST_F(EntraContextTest, TheAnswerSetsTheStatus) {
    g_service.assertion = nullptr;  // status 0, HRESULT 0, no string
    EXPECT_EQ(StatusAfterAnswer(Bag({{L"REQUESTID", L"5"}})), E_FAIL);
    g_service.hr = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    g_service.assertion = L"ignored";
    EXPECT_EQ(StatusAfterAnswer(Bag({{L"REQUESTID", L"5"}})), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
}

TEST_F(EntraContextTest, SerializationHandsOverTheCredBlob) {
    fake_.cloudAuthLibrary = L"tc_no_such_cloudauth.dll";  // the LSA's CloudAP package converts
    fake_.lsa.answers[10] = R"({"authbuffer":"AQIDBA=="})";
    EntraAuth::EntraAsyncCredentialContext context(Bag({{L"RDPASSERTION", L"abc"}}), nullptr);
    BYTE* buffer = nullptr;
    ULONG size = 0;
    ASSERT_EQ(context.SerializeCredential(&buffer, &size), S_OK);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), std::vector<BYTE>({1, 2, 3, 4}));
    ::CoTaskMemFree(buffer);
    fake_.lsa.answers[10] = R"({"authbuffer":""})";
    EXPECT_TRUE(FAILED(context.SerializeCredential(&buffer, &size)));
    EXPECT_EQ(buffer, nullptr);
}

TEST_F(EntraContextTest, AnAbandonedCallNeverHoldsItsOwner) {
    std::atomic<int> callbacks{0};
    ::ResetEvent(g_service.release.get());  // the service takes the call and does not answer
    {
        EntraAuth::EntraAsyncCredentialContext context(Bag({{L"REQUESTID", L"9"}}), [&] { ++callbacks; });
        for (int i = 0; i < 1000 && g_service.calls == 0; ++i) ::Sleep(5);
        ASSERT_EQ(g_service.calls.load(), 1);
        EXPECT_EQ(context.GetStatus(), E_PENDING);
    }  // cancels the call in flight
    ::SetEvent(g_service.release.get());
    EXPECT_EQ(callbacks.load(), 0);

    fake_.sessionId = kSession + 1;  // no service has started for this session
    HRESULT result = S_OK;
    EntraAuth::RpcWorkItem* item = EntraAuth::GetRdpAssertionAsync(9, [&](HRESULT hr, const std::wstring&) { result = hr; });
    ASSERT_NE(item, nullptr);
    ::Sleep(50);
    EntraAuth::CancelRpcWorkItem(item);
    EXPECT_EQ(result, static_cast<HRESULT>(0x800106BA));
}

}  // namespace
