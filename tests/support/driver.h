// The driver created the way hosts create it: class object, factory, IASIO face. Inline, so that
// it links in whatever binary carries the COM server (tests and benchmarks alike).
#pragma once

#include "asio/asio.h"
#include "asio/driver_id.h"

extern "C" HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" HRESULT STDMETHODCALLTYPE DllCanUnloadNow();

namespace ferox::test {

inline IASIO* CreateDriver() {
    IClassFactory* factory = nullptr;
    if (DllGetClassObject(kClsidFeroxAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory)) !=
        S_OK) {
        return nullptr;
    }
    IASIO* driver = nullptr;
    factory->CreateInstance(nullptr, kClsidFeroxAsio, reinterpret_cast<void**>(&driver));
    factory->Release();
    return driver;
}

}  // namespace ferox::test
