#include "provider/CredentialHandlers.h"

#include "provider/cred.h"
#include "sso/Credentials.h"
#include "support/FakePlatform.h"
#include "support/HandlerRegistration.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

using platform::com_ptr;
using namespace testsupport;

class CredentialHandlersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(RegisterTestHandlerClasses());
        ResetTestHandlerCalls();
        TheCredentials().ClearCredentials(true);
    }
    void TearDown() override { ::CoUninitialize(); }
    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
};

TEST_F(CredentialHandlersTest, ListsEnabledHandlersInKeyOrderWithoutBracesInLowerCase) {
    AddHandlerKey(registry, L"{" + TestHandlerClsid(L'c') + L"}");
    AddHandlerKey(registry, TestHandlerClsid(L'a'));
    AddHandlerKey(registry, L"7E57A001-0000-4000-8000-000000000002", L"true");
    auto names = GetHandlerCLSIDs();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], TestHandlerClsid(L'a'));
    EXPECT_EQ(names[1], TestHandlerClsid(L'c'));
}

TEST_F(CredentialHandlersTest, BadEntriesAreSkippedAndSpellingsOfOneClassShareAnEntry) {
    AddHandlerKey(registry, L"{" + TestHandlerClsid(L'a') + L"}");
    AddHandlerKey(registry, TestHandlerClsid(L'a'));
    AddHandlerKey(registry, L"not-a-guid");
    AddHandlerKey(registry, L"11111111-2222-3333-4444-555555555555");  // nobody registered it
    CredentialHandlerMap handlers;
    populateCredHandlersMap(handlers);
    EXPECT_EQ(handlers.size(), 1u);
}

TEST_F(CredentialHandlersTest, ReportResultRunsHandlersInOrderUntilOneFails) {
    for (wchar_t kind : {L'd', L'c', L'b', L'a'}) AddHandlerKey(registry, TestHandlerClsid(kind));
    com_ptr<ICredentialProviderCredential> tile;
    ASSERT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, false), S_OK);
    LPWSTR text = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
    EXPECT_EQ(tile->ReportResult(0, 0, &text, &icon), E_FAIL);
    EXPECT_EQ(TestHandlerCalls(), L"a:ReportResult;b:ReportResult;c:ReportResult;");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"handler a was here");
    EXPECT_EQ(icon, CPSI_WARNING);
    ::CoTaskMemFree(text);
}

TEST_F(CredentialHandlersTest, HandlersLiveAsLongAsTheirTile) {
    AddHandlerKey(registry, TestHandlerClsid(L'b'));
    com_ptr<ICredentialProviderCredential> tile;
    ASSERT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, false), S_OK);
    auto objects = reinterpret_cast<LONG (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"tc_test_handler.dll"), "TestHandlerObjects")));
    ASSERT_NE(objects, nullptr);
    EXPECT_EQ(objects(), 1);
    tile.reset();
    EXPECT_EQ(objects(), 0);
}

}  // namespace
