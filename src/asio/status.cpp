// What the settings window shows of the driver and the DAC.
#include "asio/pellinor.h"
#include "ks/audio_filter.h"
#include "ks/enum_filters.h"

namespace ferox {

DriverStatus ASIOPellinor::ReadStatus() {
    DriverStatus s;
    s.sampleRate = m_sampleRate.load();
    s.dsd = IsDsd();
    s.streaming = m_started.load() && m_pRenderPin.load() != nullptr;
    const AsioLong words = s.streaming ? m_bufferSize.load() : m_offeredSize.load();
    s.bufferSize = s.dsd ? words << 5 : words;
    // Not through getLatencies: what the window reads is not what the host was told.
    const AsioLong out = OutputLatency();
    s.outputLatencyMs = s.sampleRate > 0 ? out * 1000.0 / s.sampleRate : 0;
    s.lateSwitches = m_lateSwitches.load();
    s.overloads = m_overloads.load();
    s.margin = m_userMargin.load();
    if (s.streaming) {
        s.dac = DriverStatus::Dac::Present;
        return s;
    }
    // Asked afresh: the DAC may have come or gone since init, and another program may play it.
    HRESULT hr = S_OK;
    if (CKsAudRenFilter* filter = OpenDacRenderFilter(&hr)) {
        WAVEFORMATEXTENSIBLE wfx;
        FillWaveFormat(&wfx);
        s.dac = filter->RenderPinBusy(&wfx.Format) ? DriverStatus::Dac::InUse
                                                   : DriverStatus::Dac::Present;
        delete filter;
    }
    return s;
}

}  // namespace ferox
