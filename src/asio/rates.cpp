// Sample rates, stream modes and the wave format they give the render pin.
#include <cmath>

#include "asio/pellinor.h"
#include "asio/settings.h"
#include "ks/audio_filter.h"

namespace ferox {

namespace {
// Hosts do send NaN and zero; no device runs at those.
bool IsPlayableRate(ASIOSampleRate rate) {
    return std::isfinite(rate) && rate > 0.0;
}
}  // namespace

ASIOError ASIO_METHOD ASIOPellinor::canSampleRate(ASIOSampleRate sampleRate) {
    if (!IsPlayableRate(sampleRate))
        return ASE_NoClock;
    // Asked of the device's render pins in the current mode, as start would build the format;
    // without an open device there is nothing to ask yet: start will tell.
    WAVEFORMATEXTENSIBLE wfx;
    FillWaveFormat(&wfx, sampleRate);
    return FilterTakes(&wfx.Format) ? ASE_OK : ASE_NoClock;
}

ASIOError ASIO_METHOD ASIOPellinor::getSampleRate(ASIOSampleRate* sampleRate) {
    if (!sampleRate)
        return ASE_InvalidParameter;
    *sampleRate = m_sampleRate.load();
    return ASE_OK;
}

ASIOError ASIO_METHOD ASIOPellinor::setSampleRate(ASIOSampleRate sampleRate) {
    if (!IsPlayableRate(sampleRate))
        return ASE_NoClock;
    if (sampleRate == m_sampleRate.load())
        return ASE_OK;
    // Agrees with canSampleRate: a rate the open device cannot take is refused now, not at start.
    if (canSampleRate(sampleRate) != ASE_OK)
        return ASE_NoClock;
    m_sampleRate.store(sampleRate);
    m_pendingTimeFlags.fetch_or(kSampleRateChanged);
    if (!IsDsd() && m_keepsRates) {
        m_rateToKeep.store(sampleRate);
        // Never a registry write on the streaming thread: the next stop stores it.
        if (!IsStreamThread())
            KeepRate();
    }
    // The pin plays at the rate it was made with: the stream goes on with a new pin at the new
    // rate, and a host that can rebuild its stream is asked to. Decided by the request, not by
    // m_started: a restart that is still opening its pin has read the rate already.
    // No sampleRateDidChange: hosts take it as a clock that changed under them and reload the
    // driver, for a rate they set themselves.
    StreamRequest run = StreamRequest::Run;
    const bool restart = m_streamRequest.compare_exchange_strong(run, StreamRequest::Restart);
    if (restart) {
        if (!IsStreamThread() && m_hStopEvent)
            SetEvent(m_hStopEvent);
        TellHost(kAsioResetRequest);
    }
    return ASE_OK;
}

void ASIOPellinor::KeepRate() {
    if (const double rate = m_rateToKeep.exchange(0); rate > 0)
        SetUserSampleRate(rate);
}

void ASIOPellinor::FillWaveFormat(WAVEFORMATEXTENSIBLE* wfx) const {
    FillWaveFormat(wfx, m_sampleRate.load());
}

void ASIOPellinor::FillWaveFormat(WAVEFORMATEXTENSIBLE* wfx, ASIOSampleRate sampleRate) const {
    // The carrier is 32-bit stereo PCM in both modes; in DSD mode each frame carries 64 one-bit
    // samples per channel, and the device learns the mode from the vendor request.
    const double rate = IsDsd() ? sampleRate * 0.015625 : sampleRate;
    // Truncated toward zero; a rate beyond any format's reach becomes 0, which no pin takes.
    const DWORD samplesPerSec = rate < 4294967296.0 ? static_cast<DWORD>(rate) : 0;
    *wfx = WAVEFORMATEXTENSIBLE{};
    wfx->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wfx->Format.nChannels = 2;
    wfx->Format.nSamplesPerSec = samplesPerSec;
    wfx->Format.nAvgBytesPerSec = samplesPerSec * 4;
    wfx->Format.nBlockAlign = 4;
    wfx->Format.wBitsPerSample = 32;
    wfx->Format.cbSize = 22;
    wfx->Samples.wValidBitsPerSample = 32;
    wfx->dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    wfx->SubFormat = kKsDataFormatSubtypePcm;
}

}  // namespace ferox
