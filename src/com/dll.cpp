// The DLL's COM entry points.
#include "com/class_factory.h"
#include "common/trace.h"

using namespace ferox;

extern "C" HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (ppv)
        *ppv = nullptr;  // COM wants null on every failure
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    for (int i = 0; i < g_classEntryCount; ++i) {
        const ClassEntry& entry = g_classEntries[i];
        if (!IsEqualGUID(rclsid, *entry.clsid))
            continue;
        if (!ppv)
            return E_POINTER;
        auto* factory = new CClassFactory(&entry);
        if (!factory)
            return E_OUTOFMEMORY;
        *ppv = static_cast<IClassFactory*>(factory);
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// Objects, factories and streaming threads are all in g_objectCount.
extern "C" HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return g_serverLockCount.load() > 0 || g_objectCount.load() != 0 ? S_FALSE : S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // The one configuration the DLL reads: how much to trace, for a debug-output viewer.
    if (reason == DLL_PROCESS_ATTACH)
        TraceInitFromEnvironment();
    return TRUE;
}
