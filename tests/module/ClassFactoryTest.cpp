#include "module/ClassFactory.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "platform/UniqueResource.h"
#include "base/OfflineChannel.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include "platform/sdk/CredProv.h"
#include "provider/cred.h"

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
}

TEST_F(ClassFactoryTest, CreatesEachClassWithItsInterface) {
    com_ptr<ICredentialProvider> provider;
    EXPECT_EQ(Factory(CLSID_credprovider)->CreateInstance(nullptr, IID_ICredentialProvider, provider.put_void()), S_OK);
    EXPECT_TRUE(provider);
    com_ptr<ICredentialProviderFilter> filter;
    EXPECT_EQ(Factory(CLSID_credfilter)->CreateInstance(nullptr, IID_ICredentialProviderFilter, filter.put_void()), S_OK);
    EXPECT_TRUE(filter);
    EXPECT_TRUE(log.Contains(L"CClassFactory_CreateInstance() (sessionId="));
    EXPECT_TRUE(log.Contains(L"rclsid={BEBE672F-B0E3-4354-BB86-4EF127A55B6A}, riid={00000001-0000-0000-C000-000000000046}"));
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

// IUnknown of every class the module hands out: only its own interfaces, exact reference counts,
// and a module reference for as long as the object lives (the factory excepted, so that
// LogonUI holding a factory does not pin the DLL).
template <class Object, const CLSID* Class>
struct Made {
    using Interface = Object;
    static HRESULT Create(Object** out) {
        com_ptr<IClassFactory> factory;
        HRESULT hr = DllGetClassObject(*Class, IID_IClassFactory, factory.put_void());
        return FAILED(hr) ? hr : factory->CreateInstance(nullptr, __uuidof(Object), reinterpret_cast<void**>(out));
    }
    static constexpr LONG kModuleReferences = 1;
};
struct Factory {
    using Interface = IClassFactory;
    static HRESULT Create(IClassFactory** out) {
        return DllGetClassObject(CLSID_credprovider, IID_IClassFactory, reinterpret_cast<void**>(out));
    }
    static constexpr LONG kModuleReferences = 0;
};
struct Tile {
    using Interface = ICredentialProviderCredential;
    static HRESULT Create(Interface** out) { return cred_CreateInstance(out, CPUS_LOGON, false); }
    static constexpr LONG kModuleReferences = 1;
};

template <class Traits>
class ComObjectTest : public ClassFactoryTest {};
using ComClasses = ::testing::Types<Factory, Made<ICredentialProviderFilter, &CLSID_credfilter>,
                                    Made<ICredentialProvider, &CLSID_credprovider>, Tile>;
TYPED_TEST_SUITE(ComObjectTest, ComClasses);

TYPED_TEST(ComObjectTest, AnswersOnlyItsOwnInterfacesAndHoldsTheModuleWhileAlive) {
    using Interface = typename TypeParam::Interface;
    const LONG before = DllRefCount();
    Interface* object = nullptr;
    ASSERT_EQ(TypeParam::Create(&object), S_OK);
    EXPECT_EQ(DllRefCount(), before + TypeParam::kModuleReferences);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    for (const IID* foreign : {&IID_IClassFactory, &IID_ICredentialProvider, &IID_ICredentialProviderFilter,
                               &IID_ICredentialProviderCredential}) {
        if (IsEqualIID(*foreign, __uuidof(Interface))) continue;
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(object->QueryInterface(*foreign, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    for (const IID* own : {&IID_IUnknown, &__uuidof(Interface)}) {
        IUnknown* again = nullptr;
        ASSERT_EQ(object->QueryInterface(*own, reinterpret_cast<void**>(&again)), S_OK);
        EXPECT_EQ(again->Release(), 1u);
    }
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(DllRefCount(), before);
}

}  // namespace
