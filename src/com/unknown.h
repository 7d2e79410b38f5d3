// Counted COM object base with aggregation: the layer every COM object of the driver stands on.
#pragma once

#include <atomic>

#include "platform/alloc.h"
#include "platform/platform.h"

namespace ferox {

// Live objects derived from CBaseObject; DllCanUnloadNow answers by it.
extern std::atomic<LONG> g_objectCount;

// The object's own IUnknown when aggregated: the outer object holds it, every other face
// delegates to the outer. Slot-compatible with IUnknown, so it can be handed out as one.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE InnerAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE InnerRelease() = 0;

  protected:
    ~INonDelegatingUnknown() = default;
};

class CBaseObject {
  public:
    explicit CBaseObject(const WCHAR* name);
    ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
  public:
    FEROX_HEAP_OBJECT
    CUnknown(const WCHAR* name, IUnknown* pUnkOuter, HRESULT* phr);

    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE InnerAddRef() override;
    ULONG STDMETHODCALLTYPE InnerRelease() override;
    virtual ~CUnknown() = default;

    // The inner face as the IUnknown that the class factory and aggregating objects hold.
    IUnknown* NonDelegatingUnknown() { return &m_innerFace; }

  protected:
    IUnknown* const m_pOwner;
    std::atomic<LONG> m_refCount{0};

  private:
    // A real IUnknown whose three slots run the Inner operations, so that the inner face is
    // handed out as what it is rather than as a reinterpreted INonDelegatingUnknown.
    struct InnerFace final : IUnknown {
        explicit InnerFace(CUnknown* object) : m_object(object) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            return m_object->InnerQueryInterface(riid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return m_object->InnerAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return m_object->InnerRelease(); }
        CUnknown* const m_object;
    };
    InnerFace m_innerFace{this};
};

// Stores p in *ppv and adds a reference through p's own first interface.
HRESULT ReturnInterface(IUnknown* p, void** ppv);

}  // namespace ferox
