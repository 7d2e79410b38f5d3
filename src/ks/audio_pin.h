// Audio pins: a pin that keeps its audio data ranges, judges wave formats against them, writes a
// format into its creation request and reports the stream position. Render and capture pins
// only mark their direction.
#pragma once

#include "ks/list.h"
#include "ks/pin.h"

namespace ferox {

// The creation request: KSPIN_CONNECT, then the data format, then the wave format.
inline constexpr ULONG kPinConnectBytes = sizeof(KSPIN_CONNECT);
inline constexpr ULONG kPinConnectAndFormatBytes = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
inline constexpr ULONG kPinCreateBytes = kPinConnectAndFormatBytes + sizeof(WAVEFORMATEX);

// Length of a wave format record: 18 for WAVE_FORMAT_PCM whatever cbSize says, else 18 + cbSize.
ULONG WaveFormatBytes(const WAVEFORMATEX* pwfx);

class CKsAudPin : public CKsPin {
  public:
    CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    ~CKsAudPin() override;

    HRESULT Init();
    BOOL IsFormatSupported(const WAVEFORMATEX* pwfx);
    HRESULT SetFormat(const WAVEFORMATEX* pwfx);
    HRESULT GetPosition(KSAUDIO_POSITION* pPosition);
    // What the device holds between the pin and the converter (KSPROPERTY_AUDIO_LATENCY).
    HRESULT GetLatency(KSTIME* pLatency);

    TList<KSDATARANGE_AUDIO> m_listDataRange;
    TList<void> m_listNodes;
    WAVEFORMATEX* m_pWaveFormat;
    KSDATAFORMAT_WAVEFORMATEX* m_pksDataFormatWfx;
};

class CKsAudRenPin : public CKsAudPin {
  public:
    CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    ~CKsAudRenPin() override;
};

class CKsAudCapPin : public CKsAudPin {
  public:
    CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    ~CKsAudCapPin() override;
};

}  // namespace ferox
