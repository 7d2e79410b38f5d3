#include "com/unknown.h"

namespace ferox {

std::atomic<LONG> g_objectCount{0};

CBaseObject::CBaseObject(const WCHAR*) {
    g_objectCount.fetch_add(1);
}
CBaseObject::~CBaseObject() {
    g_objectCount.fetch_sub(1);
}

CUnknown::CUnknown(const WCHAR* name, IUnknown* pUnkOuter, HRESULT*)
    : CBaseObject(name), m_pOwner(pUnkOuter ? pUnkOuter : NonDelegatingUnknown()) {}

HRESULT STDMETHODCALLTYPE CUnknown::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown))
        return ReturnInterface(NonDelegatingUnknown(), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// A count of 0 is never reported by a living object: callers take 0 to mean "destroyed".
ULONG STDMETHODCALLTYPE CUnknown::InnerAddRef() {
    const LONG n = m_refCount.fetch_add(1) + 1;
    return n == 0 ? 1 : static_cast<ULONG>(n);
}

ULONG STDMETHODCALLTYPE CUnknown::InnerRelease() {
    const LONG n = m_refCount.fetch_sub(1) - 1;
    if (n == 0) {
        // Guards against a reference taken and dropped again while the destructor runs.
        m_refCount.store(1);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(n);
}

HRESULT ReturnInterface(IUnknown* p, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = p;
    p->AddRef();
    return S_OK;
}

}  // namespace ferox
