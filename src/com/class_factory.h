// The class table and its factory: how a host's CoCreateInstance reaches the driver object.
#pragma once

#include <atomic>

#include "com/unknown.h"

namespace ferox {

struct ClassEntry {
    const WCHAR* name;
    const CLSID* clsid;
    CUnknown* (*create)(IUnknown* pUnkOuter, HRESULT* phr);
};

extern const ClassEntry g_classEntries[];
extern const int g_classEntryCount;
extern std::atomic<LONG> g_serverLockCount;

class CClassFactory final : public IClassFactory {
  public:
    FEROX_HEAP_OBJECT
    // Counted with the objects: a host may keep a factory without locking the server, and the
    // DLL must stay while it does.
    explicit CClassFactory(const ClassEntry* entry) : m_pEntry(entry) {
        g_objectCount.fetch_add(1);
    }
    virtual ~CClassFactory() { g_objectCount.fetch_sub(1); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

  private:
    const ClassEntry* const m_pEntry;
    // Hosts may hand a factory between threads; atomic costs nothing here.
    std::atomic<LONG> m_refCount{0};
};

}  // namespace ferox
