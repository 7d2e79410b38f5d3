#include "com/class_factory.h"

namespace ferox {

std::atomic<LONG> g_serverLockCount{0};

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    return static_cast<ULONG>(m_refCount.fetch_add(1) + 1);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    const LONG n = m_refCount.fetch_sub(1) - 1;
    if (n == 0)
        delete this;
    return static_cast<ULONG>(n);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                        void** ppv) {
    if (!ppv)
        return E_POINTER;
    // An aggregating outer object may only ask for the inner IUnknown.
    if (pUnkOuter && !IsEqualGUID(riid, IID_IUnknown))
        return E_NOINTERFACE;
    HRESULT hr = S_OK;
    CUnknown* obj = m_pEntry->create(pUnkOuter, &hr);
    if (!obj)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete obj;
        return hr;
    }
    // The temporary reference makes a failed query delete the new object.
    obj->InnerAddRef();
    hr = obj->InnerQueryInterface(riid, ppv);
    obj->InnerRelease();
    return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL fLock) {
    if (fLock) {
        g_serverLockCount.fetch_add(1);
    } else {
        g_serverLockCount.fetch_sub(1);
    }
    return S_OK;
}

}  // namespace ferox
