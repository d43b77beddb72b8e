#include "module/ClassFactory.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "module/ModuleEntry.h"
#include "platform/UniqueResource.h"
#include "platform/sdk/CredProv.h"
#include "provider/cred.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

using platform::com_ptr;
using namespace testsupport;

class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override { fake.sessionId = 5000 + ::GetCurrentProcessId() % 20000; }
    void TearDown() override { CleanupOfflineChannel(); }
    com_ptr<IClassFactory> Factory(REFCLSID clsid) {
        com_ptr<IClassFactory> factory;
        EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory, factory.put_void()), S_OK);
        return factory;
    }
    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
};

// What the exports and the factories refuse, and what they leave in the out pointer; a refused
// object neither leaks out nor stays alive.
TEST_F(ClassFactoryTest, RefusalsLeaveNothingBehind) {
    com_ptr<IUnknown> outer;
    Factory(CLSID_credfilter)->QueryInterface(IID_IUnknown, outer.put_void());
    void* const kSet = reinterpret_cast<void*>(0x1234);
    auto unknownClass = com_ptr<IClassFactory>::attach(new CClassFactory(IID_IUnknown));
    // factory: null for DllGetClassObject; start, out: the out pointer before and after.
    const struct { const char* what; IClassFactory* factory; const CLSID* clsid; IUnknown* outer; const IID* iid;
                   HRESULT hr; void *start, *out; } kCases[] = {
        {"unknown class", nullptr, &IID_IUnknown, nullptr, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE, kSet, kSet},
        {"unknown interface", nullptr, &CLSID_credprovider, nullptr, &IID_ICredentialProvider, E_NOINTERFACE, kSet, nullptr},
        {"no out pointer", nullptr, &CLSID_credprovider, nullptr, &IID_IClassFactory, E_INVALIDARG, kSet, kSet},
        {"aggregation", Factory(CLSID_credprovider).detach(), nullptr, outer.get(), &IID_ICredentialProvider,
         CLASS_E_NOAGGREGATION, kSet, nullptr},
        {"wrong interface", Factory(CLSID_credfilter).detach(), nullptr, nullptr, &IID_ICredentialProvider, E_NOINTERFACE,
         kSet, nullptr},
        {"factory of an unknown class", unknownClass.get(), nullptr, nullptr, &IID_IUnknown, E_INVALIDARG, kSet, nullptr},
    };
    for (const auto& c : kCases) {
        const LONG before = DllRefCount();
        void* out = c.start;
        void** pout = std::string(c.what) == "no out pointer" ? nullptr : &out;
        EXPECT_EQ(c.factory ? c.factory->CreateInstance(c.outer, *c.iid, pout) : DllGetClassObject(*c.clsid, *c.iid, pout),
                  c.hr) << c.what;
        EXPECT_EQ(out, c.out) << c.what;
        EXPECT_EQ(DllRefCount(), before) << c.what;
        if (c.factory && c.factory != unknownClass.get()) c.factory->Release();
    }
}

// Unloading waits for server locks and objects (not for factories); it tears the channel down.
TEST_F(ClassFactoryTest, UnloadWaitsForLocksAndObjects) {
    std::wstring unload;  // DllCanUnloadNow after each step: y or n
    auto step = [&] { unload += DllCanUnloadNow() == S_OK ? L"y" : L"n"; };
    ASSERT_EQ(DllRefCount(), 0);
    step();
    auto factory = Factory(CLSID_credprovider);
    step(), factory->LockServer(TRUE), step(), factory->LockServer(FALSE), step();
    com_ptr<ICredentialProvider> provider;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICredentialProvider, provider.put_void()), S_OK);
    step(), provider.reset(), step();
    EXPECT_TRUE(unload == L"yynyny" && PeekOfflineChannel() == nullptr);
}

// IUnknown of every class the module hands out: only its own interfaces, exact reference counts,
// and a module reference for as long as the object lives (the factory excepted, so that
// LogonUI holding a factory does not pin the DLL).
TEST_F(ClassFactoryTest, EachObjectAnswersOnlyItsOwnInterfacesAndHoldsTheModuleWhileAlive) {
    const IID* kInterfaces[] = {&IID_IClassFactory, &IID_ICredentialProviderFilter, &IID_ICredentialProvider,
                                &IID_ICredentialProviderCredential};
    for (const IID* own : kInterfaces) {
        const LONG before = DllRefCount();
        void* made = nullptr;
        const HRESULT hr = own == kInterfaces[0] ? DllGetClassObject(CLSID_credprovider, *own, &made)
                           : own == kInterfaces[3]
                               ? cred_CreateInstance(reinterpret_cast<ICredentialProviderCredential**>(&made), CPUS_LOGON, false)
                               : Factory(own == kInterfaces[1] ? CLSID_credfilter : CLSID_credprovider)->CreateInstance(nullptr, *own, &made);
        ASSERT_EQ(hr, S_OK);
        auto* object = static_cast<IUnknown*>(made);
        EXPECT_EQ(DllRefCount(), before + (own == kInterfaces[0] ? 0 : 1));
        EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
        for (const IID* other : kInterfaces) {
            void* out = reinterpret_cast<void*>(1);
            EXPECT_TRUE(other == own || (object->QueryInterface(*other, &out) == E_NOINTERFACE && !out));
        }
        IUnknown* again = nullptr;
        ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
        EXPECT_EQ((std::vector<ULONG>{again->Release(), object->AddRef(), object->Release(), object->Release()}),
                  (std::vector<ULONG>{1, 2, 1, 0}));
        EXPECT_EQ(DllRefCount(), before);
    }
}

// Consent and the browser are refused by exact name, whatever the case; configured exceptions
// name whole host names and ignore empty items.
TEST_F(ClassFactoryTest, ExcludedHostsAreMatchedByWholeName) {
    for (auto [path, loads] : {std::pair{L"C:\\Windows\\System32\\consent.exe", FALSE}, {L"C:\\x\\Consent.EXE", FALSE},
                               {L"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", FALSE}, {L"C:\\x\\consentx.exe", TRUE},
                               {L"C:\\x\\my.consent.exe", TRUE}, {L"C:\\Windows\\System32\\LogonUI.exe", TRUE}}) {
        fake.hostPath = path;
        EXPECT_EQ(ModuleEntry(::GetModuleHandleW(nullptr), DLL_THREAD_ATTACH, nullptr), loads) << path;
    }
    for (auto [config, host, excluded] :
         {std::tuple{L";;WinLogon;;", L"winlogon", true}, {L";;WinLogon;;", L"logonui", false},
          {L";;WinLogon;;", L"", false}, {L";;WinLogon;;", L"winlogon2", false}, {L"explorer;rundll32", L"RUNDLL32", true},
          {L"explorer;rundll32", L"explorer", true}, {L"explorer;rundll32", L"explorer;rundll32", false}}) {
        registry.SetAgentConfig(L"CredentialFilterExceptions", config);
        EXPECT_EQ(IsExcludedHost(host), excluded) << config << " " << host;
    }
}

// The first class object in a remote LogonUI of an RDS host starts the reconnect monitor (never
// attach, which runs under the loader lock), detach stops it; a workstation starts none.
TEST_F(ClassFactoryTest, FirstClassObjectStartsTheReconnectMonitorOnlyWhereNeededAndDetachStopsIt) {
    HINSTANCE self = ::GetModuleHandleW(nullptr);
    fake.sessionId = 3, fake.SetWindows10Workstation(), ResetSessionIdCache();
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_ATTACH, nullptr));
    Factory(CLSID_credfilter);
    EXPECT_TRUE(log.Contains(L"RdsReconnectMonitor: Exit, not required on this system"));
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_DETACH, nullptr));
    fake.SetServer2019Rds(), fake.consoleSessionId = 1, log.Clear();
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_TRUE(ModuleInstance() == self && !log.Contains(L"RdsReconnectMonitor"));
    Factory(CLSID_credfilter), Factory(CLSID_credprovider);
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"Waiting for logon or reconnect to sessionId=3"); }));
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_DETACH, nullptr));
    EXPECT_TRUE(log.Contains(L"The LogonUI Process is ending for sessionId=3") && fake.terminateCalls.load() == 0);
    TeardownModuleObjects();
}

}  // namespace
