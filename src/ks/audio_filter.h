// Audio filters: a KS filter whose pins are audio pins, and the render filter that creates a
// render pin for a wave format.
#pragma once

#include "ks/audio_pin.h"
#include "ks/filter.h"

namespace ferox {

class CKsAudFilter : public CKsFilter {
  public:
    CKsAudFilter(LPCWSTR pszName, HRESULT* phr);

    HRESULT EnumeratePins() override;
};

class CKsAudRenFilter : public CKsAudFilter {
  public:
    CKsAudRenFilter(LPCWSTR pszName, HRESULT* phr);

    // The first render-sink pin whose data ranges admit the format, or null.
    CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx);
    // A render-sink pin that took the format and exists on the device, or null. The filter
    // keeps owning it.
    CKsAudPin* CreateRenderPin(const WAVEFORMATEX* pwfx, BOOL looped);
    // Whether the pin type that takes the format has every instance taken: the DAC is played
    // by another program.
    bool RenderPinBusy(const WAVEFORMATEX* pwfx);
};

class CKsAudCapFilter : public CKsAudFilter {
  public:
    CKsAudCapFilter(LPCWSTR pszName, HRESULT* phr);
};

}  // namespace ferox
