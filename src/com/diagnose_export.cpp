#include "com/diagnose_export.h"

#include <new>
#include <string>

#include "asio/diagnose.h"

extern "C" HRESULT WINAPI FeroxDiagnose(DWORD streamMs, FeroxReportSink sink, void* context) {
    if (!sink)
        return E_POINTER;
    // Nothing may leave a C entry point by exception.
    try {
        ferox::DiagnoseOptions options;
        options.streamMs = streamMs;
        const std::string report = ferox::Diagnose(options);
        sink(context, report.c_str(), static_cast<DWORD>(report.size()));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}
