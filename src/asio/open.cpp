// Opening the device: init finds the DAC's render filter and keeps it.
#include "asio/pellinor.h"
#include "ks/audio_filter.h"
#include "ks/enum_filters.h"

namespace ferox {

namespace {
constexpr char kEnumFailure[] = "ASIO Pellinor Driver Enum Failure!";
constexpr char kOpenFailure[] = "ASIO Pellinor Driver Open Filter Failure!";
}  // namespace

ASIOBool ASIO_METHOD ASIOPellinor::init(void*) {
    // The filter in use may go below; its render pin must not be streaming then.
    EndStream();

    HRESULT hr = S_OK;
    CKsEnumFilters* enumerator = new CKsEnumFilters(&hr);
    if (enumerator && SUCCEEDED(hr)) {
        const GUID categories[] = {kKsCategoryAudio, kKsCategoryRender};
        hr = enumerator->EnumFilters(FILTER_TYPE_AUDIO_RENDER, categories, 2, TRUE, FALSE, TRUE);
    }
    if (!enumerator || FAILED(hr)) {
        SetErrorMessage(kEnumFailure);
        delete enumerator;
        return ASIOFalse;
    }

    if (IsStreamThread() && m_pRenderPin.load() && !m_pRetiredFilter) {
        // Called from a callback: the stream still plays this filter's pin, and the streaming
        // thread deletes the filter once it has closed the pin.
        m_pRetiredFilter = m_pFilter;
    } else {
        delete m_pFilter;
    }
    m_pFilter = nullptr;
    // Taken out of the enumerator, which can then go without taking the filter with it.
    CKsFilter* first = nullptr;
    if (enumerator->m_listFilters.RemoveHead(&first))
        m_pFilter = static_cast<CKsAudRenFilter*>(first);
    delete enumerator;
    if (!m_pFilter) {
        SetErrorMessage(kOpenFailure);
        return ASIOFalse;
    }
    return ASIOTrue;
}

}  // namespace ferox
