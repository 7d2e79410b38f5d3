// Opening the device: init finds the DAC's render filter and keeps it.
#include <thread>

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

    // Taken out of the enumerator, which can then go without taking the filter with it.
    CKsFilter* first = nullptr;
    enumerator->m_listFilters.RemoveHead(&first);
    delete enumerator;
    CKsAudRenFilter* old = m_pFilter.exchange(static_cast<CKsAudRenFilter*>(first));
    if (IsStreamThread() && m_pRenderPin.load() && !m_pRetiredFilter) {
        // Called from a callback: the stream still plays the old filter's pin, and the streaming
        // thread deletes the filter once it has closed the pin.
        m_pRetiredFilter = old;
    } else {
        DeleteFilter(old);
    }
    if (!m_pFilter) {
        SetErrorMessage(kOpenFailure);
        return ASIOFalse;
    }
    return ASIOTrue;
}

void ASIOPellinor::DeleteFilter(CKsAudRenFilter* filter) {
    if (!filter)
        return;
    // Askers hold the count only while they read the filter's ranges: a short wait.
    while (m_filterUsers.load() != 0)
        std::this_thread::yield();
    delete filter;
}

bool ASIOPellinor::FilterTakes(const WAVEFORMATEX* pwfx) {
    m_filterUsers.fetch_add(1);
    CKsAudRenFilter* filter = m_pFilter.load();
    const bool takes = !filter || filter->FindViablePin(pwfx) != nullptr;
    m_filterUsers.fetch_sub(1);
    return takes;
}

}  // namespace ferox
