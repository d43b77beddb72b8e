// Which road a CloudApHelper takes, and the WTS road's calls against the scripted stand-in
// library. Resolution, probe and the fallback switch hold for the whole process, so each case
// is one process with one library.
#include "entra/CloudApHelper.h"
#include "entra/StaDispatcher.h"

#include "platform/cloudapsim/StandInCloudAuth.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kResolve[] = L"[EntraAuth] EntraAuth::ResolveCloudAuthFuncs::<lambda_1>::operator (): ResolveCloudAuthFuncs: ";

// The stand-in next to the test program, by full path.
std::wstring StandIn(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\') + 1) + name;
}

CloudAuthScript* Script(const std::wstring& path) {
    HMODULE module = ::LoadLibraryW(path.c_str());
    auto control = reinterpret_cast<CloudAuthControlFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "CloudAuthStandInControl")));
    return control ? control() : nullptr;
}

// The road a helper took: the LSA road connects to the LSA at Initialize, the WTS road opens.
struct Road {
    const wchar_t* library;  // null: a library that does not exist
    const wchar_t* fallback;  // "LsassCloudApFallbackEnabled", null: unset
    DWORD openError;
    HRESULT initialize;
    int lsaConnections, opens;
    std::wstring line;
};

void ExpectRoad(const Road& road) {
    testsupport::RegistrySandbox registry;
    if (road.fallback) registry.SetAgentConfig(L"LsassCloudApFallbackEnabled", road.fallback);
    testsupport::FakePlatform fake;
    fake.cloudAuthLibrary = road.library ? StandIn(road.library) : L"tc_no_such_cloudauth.dll";
    CloudAuthScript* script = road.library ? Script(fake.cloudAuthLibrary) : nullptr;
    if (script) script->openError = road.openError;
    testsupport::LogCapture log;
    for (int round = 0; round < 2; ++round) {  // the second helper meets the same decisions
        EntraAuth::CloudApHelper helper;
        EXPECT_EQ(helper.Initialize(L""), road.initialize);
        EXPECT_EQ(fake.lsa.connections.load(), road.lsaConnections);
    }
    EXPECT_EQ(fake.lsa.connections.load(), 0);  // released with the helpers
    EXPECT_EQ(script ? script->opens : 0, road.opens);
    EXPECT_EQ(log.Count(road.line), 1u) << testing::PrintToString(log.Dump());
}

TEST(CloudApRoadTest, AllSixCallsUseWts) {
    ExpectRoad({L"tc_standin_wtsapi.dll", nullptr, 0, S_OK, 0, 3,
                L"CheckIfImplemented::<lambda_1>::()::<lambda_1>::operator (): CloudAuthOpen probe succeeded h="});
}

TEST(CloudApRoadTest, WithoutDuplicateTheLsaRoadIsTaken) {
    ExpectRoad({L"tc_standin_wtsapi_nodup.dll", nullptr, 0, S_OK, 1, 0,
                std::wstring(kResolve) + L"WTSCloudAuthDuplicateSerializedUserCredential not found"});
}

TEST(CloudApRoadTest, UnimplementedCallsAreProbedOnce) {
    ExpectRoad({L"tc_standin_wtsapi.dll", nullptr, ERROR_NOT_SUPPORTED, S_OK, 1, 1,
                L"CloudAuthOpen probe failed gle=50"});
}

TEST(CloudApRoadTest, NoLibraryAndFallbackDisabledFails) {
    ExpectRoad({nullptr, L"false", 0, E_FAIL, 0, 0, std::wstring(kResolve) + L"Failed to load wtsapi32.dll (err=126)"});
}

// Every WTS call runs on the dispatcher thread, hands back what the library gave and frees it.
TEST(CloudApWtsTest, CallsRunOnTheDispatcherAndFreeTheirAnswers) {
    testsupport::FakePlatform fake;
    fake.cloudAuthLibrary = StandIn(L"tc_standin_wtsapi.dll");
    CloudAuthScript* script = Script(fake.cloudAuthLibrary);
    ASSERT_NE(script, nullptr);
    {
        EntraAuth::CloudApHelper helper;
        ASSERT_EQ(helper.Initialize(L"01234567-89ab-cdef-0123-456789abcdef"), S_OK);
        EXPECT_EQ(script->lastActivity.Data1, 0x01234567u);
        EXPECT_EQ(script->lastActivity.Data4[7], 0xEF);
        std::wstring nonce;
        EXPECT_EQ(helper.GetDeviceNonce(&nonce), S_OK);
        EXPECT_EQ(nonce, L"server-nonce-1");
        std::vector<BYTE> blob;
        EXPECT_EQ(helper.GetCredBlobFromAssertion(L"eyJ\u00e9", L"ms-appx://rd", &blob), S_OK);
        EXPECT_EQ(blob, (std::vector<BYTE>{0xC0, 0xFF, 0xEE, 0x00, 0x01}));
        EXPECT_STREQ(script->lastAssertion, "{\"rdp_assertion\":\"eyJ\xc3\xa9\"}");
        EXPECT_EQ(script->frees, 2);
        HANDLE token = nullptr;
        EXPECT_EQ(helper.LogonUserWithCredBlob({7, 8, 9}, &token), S_OK);
        EXPECT_EQ(script->lastLogonBytes, 3u);
        if (token) ::CloseHandle(token);

        script->nonceError = script->logonError = ERROR_ACCESS_DENIED;
        EXPECT_EQ(helper.GetDeviceNonce(&nonce), E_FAIL);
        EXPECT_EQ(helper.LogonUserWithCredBlob({1}, &token), E_FAIL);
        EXPECT_EQ(helper.GetCredBlobFromAssertion(L"a", L"", &blob), E_INVALIDARG);
    }
    EXPECT_EQ(script->closes, script->opens);  // the probe's handle and the helper's
    DWORD dispatcher = 0;
    EntraAuth::StaDispatcher::Instance().Run([&] { return dispatcher = ::GetCurrentThreadId(), S_OK; });
    ASSERT_GT(script->calls, 8);
    EXPECT_NE(dispatcher, ::GetCurrentThreadId());
    for (LONG i = 0; i < script->calls && i < 64; ++i) EXPECT_EQ(script->callThreads[i], dispatcher) << i;
}

}  // namespace
