#include "module/ClassFactory.h"
#include "module/ModuleEntry.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "base/OfflineChannel.h"
#include "platform/UniqueResource.h"
#include "platform/sdk/CredProv.h"
#include "provider/cred.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using platform::com_ptr;

class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override { fake.sessionId = 5000 + ::GetCurrentProcessId() % 20000; }
    void TearDown() override { CleanupOfflineChannel(); }
    com_ptr<IClassFactory> Factory(REFCLSID clsid) {
        com_ptr<IClassFactory> factory;
        EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory, factory.put_void()), S_OK);
        return factory;
    }
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform fake;
    testsupport::LogCapture log;
};

// What the exports and the factories refuse, and what they leave in the out pointer; a refused
// object neither leaks out nor stays alive.
TEST_F(ClassFactoryTest, RefusalsLeaveNothingBehind) {
    com_ptr<IUnknown> outer;
    Factory(CLSID_credfilter)->QueryInterface(IID_IUnknown, outer.put_void());
    void* const kSet = reinterpret_cast<void*>(0x1234);
    auto unknownClass = com_ptr<IClassFactory>::attach(new CClassFactory(IID_IUnknown));
    const struct {
        const char* what;
        IClassFactory* factory;  // null: DllGetClassObject
        const CLSID* clsid;
        IUnknown* outer;
        const IID* iid;
        HRESULT hr;
        void *start, *out;  // the out pointer before and after
    } kCases[] = {
        {"unknown class", nullptr, &IID_IUnknown, nullptr, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE, kSet, kSet},
        {"unknown interface", nullptr, &CLSID_credprovider, nullptr, &IID_ICredentialProvider, E_NOINTERFACE, kSet, nullptr},
        {"no out pointer", nullptr, &CLSID_credprovider, nullptr, &IID_IClassFactory, E_INVALIDARG, kSet, kSet},
        {"aggregation", Factory(CLSID_credprovider).detach(), nullptr, outer.get(), &IID_ICredentialProvider,
         CLASS_E_NOAGGREGATION, nullptr, nullptr},
        {"wrong interface", Factory(CLSID_credfilter).detach(), nullptr, nullptr, &IID_ICredentialProvider, E_NOINTERFACE,
         kSet, nullptr},
        {"factory of an unknown class", unknownClass.get(), nullptr, nullptr, &IID_IUnknown, E_INVALIDARG, nullptr, nullptr},
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
    EXPECT_TRUE(log.Contains(L"CClassFactory::CreateInstance(): Unknown clsid: {00000000-0000-0000-C000-000000000046}"));
}

// Unloading waits for server locks and objects (not for factories); it tears the channel down.
TEST_F(ClassFactoryTest, UnloadWaitsForLocksAndObjects) {
    ASSERT_EQ(DllRefCount(), 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    auto factory = Factory(CLSID_credprovider);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    factory->LockServer(TRUE);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory->LockServer(FALSE);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    com_ptr<ICredentialProvider> provider;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICredentialProvider, provider.put_void()), S_OK);
    EXPECT_TRUE(log.Contains(L"rclsid={BEBE672F-B0E3-4354-BB86-4EF127A55B6A}, riid={00000001-0000-0000-C000-000000000046}"));
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_NE(PeekOfflineChannel(), nullptr);
    provider.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(PeekOfflineChannel(), nullptr);
    EXPECT_TRUE(log.Contains(L"DllCanUnloadNow(): refcount=1"));
}

// IUnknown of every class the module hands out: only its own interfaces, exact reference counts,
// and a module reference for as long as the object lives (the factory excepted, so that
// LogonUI holding a factory does not pin the DLL).
TEST_F(ClassFactoryTest, EachObjectAnswersOnlyItsOwnInterfacesAndHoldsTheModuleWhileAlive) {
    const IID* kInterfaces[] = {&IID_IClassFactory, &IID_ICredentialProviderFilter, &IID_ICredentialProvider,
                                &IID_ICredentialProviderCredential};
    for (const IID* own : kInterfaces) {
        const LONG before = DllRefCount();
        IUnknown* object = nullptr;
        if (own == kInterfaces[0]) {
            ASSERT_EQ(DllGetClassObject(CLSID_credprovider, *own, reinterpret_cast<void**>(&object)), S_OK);
        } else if (own == kInterfaces[3]) {
            ASSERT_EQ(cred_CreateInstance(reinterpret_cast<ICredentialProviderCredential**>(&object), CPUS_LOGON, false), S_OK);
        } else {
            ASSERT_EQ(Factory(own == kInterfaces[1] ? CLSID_credfilter : CLSID_credprovider)
                          ->CreateInstance(nullptr, *own, reinterpret_cast<void**>(&object)), S_OK);
        }
        EXPECT_EQ(DllRefCount(), before + (own == kInterfaces[0] ? 0 : 1));
        EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
        for (const IID* other : kInterfaces) {
            if (other == own) continue;
            void* out = reinterpret_cast<void*>(1);
            EXPECT_EQ(object->QueryInterface(*other, &out), E_NOINTERFACE);
            EXPECT_EQ(out, nullptr);
        }
        for (const IID* same : {&IID_IUnknown, own}) {
            IUnknown* again = nullptr;
            ASSERT_EQ(object->QueryInterface(*same, reinterpret_cast<void**>(&again)), S_OK);
            EXPECT_EQ(again->Release(), 1u);
        }
        EXPECT_EQ(object->AddRef(), 2u);
        EXPECT_EQ(object->Release(), 1u);
        EXPECT_EQ(object->Release(), 0u);
        EXPECT_EQ(DllRefCount(), before);
    }
}

// Consent and the browser are refused by exact name, whatever the case; configured exceptions
// name whole host names and ignore empty items.
TEST_F(ClassFactoryTest, ExcludedHostsAreMatchedByWholeName) {
    for (auto [path, loads] : {std::pair{L"C:\\Windows\\System32\\consent.exe", FALSE},
                               {L"C:\\Windows\\System32\\Consent.EXE", FALSE},
                               {L"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", FALSE},
                               {L"C:\\Windows\\System32\\consentx.exe", TRUE},
                               {L"C:\\Windows\\System32\\my.consent.exe", TRUE},
                               {L"C:\\Windows\\System32\\LogonUI.exe", TRUE}}) {
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

// Attach in a remote LogonUI of an RDS host starts the reconnect monitor, detach stops it; a
// workstation starts none. A second teardown finds nothing left to do.
TEST_F(ClassFactoryTest, AttachStartsTheReconnectMonitorOnlyWhereNeededAndDetachStopsIt) {
    HINSTANCE self = ::GetModuleHandleW(nullptr);
    fake.SetWindows10Workstation();
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_TRUE(log.Contains(L"RdsReconnectMonitor: Exit, not required on this system"));
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_DETACH, nullptr));
    fake.SetServer2019Rds();
    fake.sessionId = 3;
    fake.consoleSessionId = 1;
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(ModuleInstance(), self);
    EXPECT_TRUE(log.Contains(L"tcfiltr attach for session with sessionId=3"));
    EXPECT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"Waiting for logon or reconnect to sessionId=3"); }));
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_DETACH, nullptr));
    EXPECT_TRUE(log.Contains(L"The LogonUI Process is ending for sessionId=3"));
    EXPECT_EQ(fake.terminateCalls.load(), 0);
    TeardownModuleObjects();
}

}  // namespace
