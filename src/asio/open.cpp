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
    CKsAudRenFilter* found = OpenDacRenderFilter(&hr);
    if (!found) {
        SetErrorMessage(kEnumFailure);
        return ASIOFalse;
    }
    CKsAudRenFilter* old = m_pFilter.exchange(found);
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
    // Askers hold the count only while they read the filter's ranges: a short wait, but on the
    // streaming thread a yield lets no lower-priority asker run; a sleep does.
    for (int spins = 0; m_filterUsers.load() != 0; ++spins) {
        if (spins < 16)
            SwitchToThread();
        else
            Sleep(1);
    }
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
