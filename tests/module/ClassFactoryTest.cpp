#include "module/ClassFactory.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "platform/UniqueResource.h"
#include "base/OfflineChannel.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include "platform/sdk/CredProv.h"

#include <gtest/gtest.h>

namespace {

using platform::com_ptr;
using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

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

TEST_F(ClassFactoryTest, FactoryComesBackWithOnlyTheCallersReference) {
    for (const CLSID* clsid : {&CLSID_credprovider, &CLSID_credfilter}) {
        IClassFactory* factory = nullptr;
        ASSERT_EQ(DllGetClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        EXPECT_EQ(factory->AddRef(), 2u);
        EXPECT_EQ(factory->Release(), 1u);
        EXPECT_EQ(factory->Release(), 0u);
    }
    EXPECT_TRUE(log.Contains(L"CClassFactory_CreateInstance() (sessionId="));
    EXPECT_TRUE(log.Contains(L"rclsid={BEBE672F-B0E3-4354-BB86-4EF127A55B6A}, riid={00000001-0000-0000-C000-000000000046}"));
}

TEST_F(ClassFactoryTest, UnknownClassLeavesTheOutPointerAlone) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(DllGetClassObject(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
}

TEST_F(ClassFactoryTest, UnknownInterfaceOrNullOutPointerIsRefused) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(DllGetClassObject(CLSID_credprovider, IID_ICredentialProvider, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(DllGetClassObject(CLSID_credprovider, IID_IClassFactory, nullptr), E_INVALIDARG);
    auto factory = Factory(CLSID_credfilter);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_INVALIDARG);
    EXPECT_EQ(factory->QueryInterface(IID_ICredentialProvider, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ClassFactoryTest, CreatesEachClassWithItsInterface) {
    com_ptr<ICredentialProvider> provider;
    EXPECT_EQ(Factory(CLSID_credprovider)->CreateInstance(nullptr, IID_ICredentialProvider, provider.put_void()), S_OK);
    EXPECT_TRUE(provider);
    com_ptr<ICredentialProviderFilter> filter;
    EXPECT_EQ(Factory(CLSID_credfilter)->CreateInstance(nullptr, IID_ICredentialProviderFilter, filter.put_void()), S_OK);
    EXPECT_TRUE(filter);
    // The wrong interface for the class: no object leaks out, none stays alive.
    void* out = reinterpret_cast<void*>(1);
    LONG before = DllRefCount();
    EXPECT_EQ(Factory(CLSID_credfilter)->CreateInstance(nullptr, IID_ICredentialProvider, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(DllRefCount(), before);
}

TEST_F(ClassFactoryTest, AggregationIsRefusedEvenForKnownClasses) {
    com_ptr<IUnknown> outer;
    Factory(CLSID_credfilter)->QueryInterface(IID_IUnknown, outer.put_void());
    void* out = nullptr;
    EXPECT_EQ(Factory(CLSID_credprovider)->CreateInstance(outer.get(), IID_ICredentialProvider, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ClassFactoryTest, FactoryForAnUnknownClassCreatesNothing) {
    auto* factory = new CClassFactory(IID_IUnknown);
    void* out = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), E_INVALIDARG);
    EXPECT_TRUE(log.Contains(L"CClassFactory::CreateInstance(): Unknown clsid: {00000000-0000-0000-C000-000000000046}"));
    factory->Release();
}

TEST_F(ClassFactoryTest, UnloadWaitsForLocksAndObjects) {
    ASSERT_EQ(DllRefCount(), 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    auto factory = Factory(CLSID_credprovider);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);  // the factory itself does not count
    factory->LockServer(TRUE);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory->LockServer(FALSE);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    com_ptr<ICredentialProvider> provider;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICredentialProvider, provider.put_void()), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_NE(PeekOfflineChannel(), nullptr);
    provider.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    // Unloading tore the channel down; the next provider gets a fresh one.
    EXPECT_EQ(PeekOfflineChannel(), nullptr);
    EXPECT_TRUE(log.Contains(L"DllCanUnloadNow(): refcount=1"));
}

}  // namespace
