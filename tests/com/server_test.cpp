// The COM path a host takes: class object, factory, creation, aggregation, unloading.
#include <gtest/gtest.h>

#include "com/class_factory.h"
#include "com/driver_fixture.h"
#include "platform/alloc.h"

namespace ferox::test {
namespace {

constexpr CLSID kOtherClsid = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

IClassFactory* Factory() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(
        DllGetClassObject(kClsidFeroxAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    return factory;
}

// An outer object that counts what the inner object's delegating faces send it.
struct Outer : IUnknown {
    int queries = 0, addRefs = 0, releases = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        ++queries;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++addRefs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++releases); }
};

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override { alloc_test::Reset(); }
    void TearDown() override {
        alloc_test::Reset();
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
};

TEST_F(ServerTest, ClassObjectIsAFreshFactoryForOurClassOnly) {
    for (const IID* iid : {&IID_IClassFactory, &IID_IUnknown}) {
        IClassFactory* factory = nullptr;
        ASSERT_EQ(DllGetClassObject(kClsidFeroxAsio, *iid, reinterpret_cast<void**>(&factory)),
                  S_OK);
        ASSERT_NE(factory, nullptr);
        EXPECT_EQ(factory->AddRef(), 2u);  // handed out with one reference
        EXPECT_EQ(factory->Release(), 1u);
        EXPECT_EQ(factory->Release(), 0u);
    }
    // Every failure leaves the out pointer null, as COM requires.
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(kClsidFeroxAsio, kClsidFeroxAsio, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(kOtherClsid, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(DllGetClassObject(kClsidFeroxAsio, IID_IClassFactory, nullptr), E_POINTER);

    p = reinterpret_cast<void*>(1);
    alloc_test::FailNth(1);
    EXPECT_EQ(DllGetClassObject(kClsidFeroxAsio, IID_IClassFactory, &p), E_OUTOFMEMORY);
    EXPECT_EQ(p, nullptr);
}

TEST_F(ServerTest, FactoryAnswersItsTwoInterfaces) {
    IClassFactory* factory = Factory();
    void* p = nullptr;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, factory);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, &p), S_OK);
    EXPECT_EQ(factory->QueryInterface(kClsidFeroxAsio, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->Release(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ServerTest, CreateInstanceHandsOutTheFaceAsked) {
    IClassFactory* factory = Factory();
    const LONG before = g_objectCount.load();

    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, kClsidFeroxAsio, reinterpret_cast<void**>(&driver)),
              S_OK);
    EXPECT_EQ(g_objectCount.load(), before + 1);
    // Either face answers the class identifier with the IASIO face and one more reference.
    IASIO* again = nullptr;
    ASSERT_EQ(driver->QueryInterface(kClsidFeroxAsio, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, driver);
    IUnknown* inner = nullptr;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    EXPECT_NE(static_cast<void*>(inner), static_cast<void*>(driver));
    ASSERT_EQ(inner->QueryInterface(kClsidFeroxAsio, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, driver);
    EXPECT_EQ(driver->Release(), 3u);
    EXPECT_EQ(inner->Release(), 2u);
    EXPECT_EQ(driver->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(g_objectCount.load(), before);

    // The inner face counts on its own and reports 0 only for the release that destroys.
    IUnknown* unknown = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)),
              S_OK);
    EXPECT_EQ(unknown->AddRef(), 2u);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(unknown->Release(), 0u);

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(g_objectCount.load(), before);
    EXPECT_EQ(factory->CreateInstance(nullptr, kClsidFeroxAsio, nullptr), E_POINTER);

    alloc_test::FailNth(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, kClsidFeroxAsio, &p), E_OUTOFMEMORY);
    EXPECT_EQ(g_objectCount.load(), before);
    factory->Release();
}

TEST_F(ServerTest, AggregatedObjectDelegatesItsIasioFaceToTheOuter) {
    IClassFactory* factory = Factory();
    Outer outer;
    void* p = reinterpret_cast<void*>(1);
    const LONG before = g_objectCount.load();
    EXPECT_EQ(factory->CreateInstance(&outer, kClsidFeroxAsio, &p), E_NOINTERFACE);
    EXPECT_EQ(g_objectCount.load(), before);  // nothing was created

    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)),
              S_OK);
    EXPECT_EQ(outer.addRefs, 0);  // the inner face counts for itself
    IASIO* driver = nullptr;
    ASSERT_EQ(inner->QueryInterface(kClsidFeroxAsio, reinterpret_cast<void**>(&driver)), S_OK);
    EXPECT_EQ(outer.addRefs, 1);  // handed out through the delegating face

    EXPECT_EQ(driver->AddRef(), 2u);
    EXPECT_EQ(driver->Release(), 1u);
    EXPECT_EQ(outer.releases, 1);
    EXPECT_EQ(driver->QueryInterface(IID_IUnknown, &p), E_NOINTERFACE);
    EXPECT_EQ(outer.queries, 1);
    EXPECT_EQ(driver->getDriverVersion(), 2);  // the object itself still works
    EXPECT_EQ(inner->Release(), 0u);
    factory->Release();
}

TEST_F(ServerTest, CanUnloadFollowsObjectsAndLocks) {
    // A factory kept without a server lock keeps the DLL: unloaded, it would be a dangling
    // pointer in the host's hands.
    IClassFactory* factory = Factory();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, kClsidFeroxAsio, reinterpret_cast<void**>(&driver)),
              S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    driver->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the lock alone
    factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    // An unbalanced unlock leaves a negative count: only live objects keep the DLL then.
    factory = Factory();
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_EQ(g_serverLockCount.load(), -1);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    factory = Factory();
    factory->LockServer(TRUE);
    factory->Release();
}

}  // namespace
}  // namespace ferox::test
