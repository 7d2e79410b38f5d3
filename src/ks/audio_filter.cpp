#include "ks/audio_filter.h"

#include "common/trace.h"

namespace ferox {

CKsAudFilter::CKsAudFilter(LPCWSTR pszName, HRESULT* phr) : CKsFilter(pszName, phr) {
    TraceEnter(WSTR("CKsAudFilter::CKsAudFilter()"));
    TraceLeaveResult(WSTR("CKsAudFilter::CKsAudFilter"), *phr);
}

HRESULT CKsAudFilter::EnumeratePins() {
    TraceEnter(WSTR("CKsAudFilter::EnumeratePins()"));
    ULONG count = 0;
    if (FAILED(GetPinPropertySimple(0, kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &count,
                                    sizeof(count)))) {
        Trace(kTraceError, WSTR("Failed to retrieve count of pins in audio filter"));
        count = 0;
    }
    bool outOfMemory = false;
    for (ULONG i = 0; i < count && !outOfMemory; ++i) {
        ULONG communication = 0;
        if (FAILED(GetPinPropertySimple(i, kKsPropSetIdPin, KSPROPERTY_PIN_COMMUNICATION,
                                        &communication, sizeof(communication)))) {
            Trace(kTraceError,
                  WSTR("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION"));
            continue;
        }
        if (communication != KSPIN_COMMUNICATION_SINK &&
            communication != KSPIN_COMMUNICATION_SOURCE &&
            communication != KSPIN_COMMUNICATION_BOTH) {
            Trace(kTraceError, WSTR("Pin communication value doesn't make sense"));
            continue;
        }
        ULONG flow = 0;
        if (FAILED(GetPinPropertySimple(i, kKsPropSetIdPin, KSPROPERTY_PIN_DATAFLOW, &flow,
                                        sizeof(flow)))) {
            Trace(kTraceError, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW"));
            continue;
        }
        HRESULT hrPin = S_OK;
        CKsAudPin* pin = nullptr;
        if (communication == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_IN) {
            pin = new CKsAudRenPin(this, i, &hrPin);
        } else if (communication == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_OUT) {
            pin = new CKsAudCapPin(this, i, &hrPin);
        } else {
            pin = new CKsAudPin(this, i, &hrPin);
        }
        if (pin == nullptr) {
            Trace(kTraceError, WSTR("Failed to create audio pin"));
            outOfMemory = true;
            break;
        }
        if (FAILED(hrPin)) {
            delete pin;
            continue;
        }
        if (m_listPins.AddTail(pin) == nullptr) {
            delete pin;
            Trace(kTraceError, WSTR("Unable to allocate list entry to save pin in"));
            outOfMemory = true;
        }
    }
    if (outOfMemory) {
        Trace(kTraceError, WSTR("Ran out of memory enumerating pins - deleting all pins"));
        CKsPin* pin = nullptr;
        while (m_listPins.RemoveHead(&pin))
            delete pin;
        TraceLeaveResult(WSTR("CKsAudFilter::EnumeratePins"), E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    ClassifyPins();
    HRESULT hr = S_OK;
    if (m_listRenderSinkPins.GetCount() == 0 && m_listRenderSourcePins.GetCount() == 0 &&
        m_listCaptureSinkPins.GetCount() == 0 && m_listCaptureSourcePins.GetCount() == 0) {
        Trace(kTraceError, WSTR("No valid pins found on the filter"));
        hr = E_FAIL;
    }
    TraceLeaveResult(WSTR("CKsAudFilter::EnumeratePins"), hr);
    return hr;
}

CKsAudRenFilter::CKsAudRenFilter(LPCWSTR pszName, HRESULT* phr) : CKsAudFilter(pszName, phr) {
    TraceEnter(WSTR("CKsAudRenFilter::CKsAudRenFilter()"));
    m_nFilterType = 1;
    TraceLeaveResult(WSTR("CKsAudRenFilter::CKsAudRenFilter"), *phr);
}

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* pwfx) {
    TraceEnter(WSTR("CKsAudRenFilter::FindViablePin()"));
    CKsAudPin* found = nullptr;
    auto* pos = m_listRenderSinkPins.GetHead();
    CKsPin* pin = nullptr;
    while (found == nullptr && m_listRenderSinkPins.GetNext(&pos, &pin)) {
        // Every pin of an audio filter is an audio pin.
        auto* audio = static_cast<CKsAudPin*>(pin);
        if (audio->IsFormatSupported(pwfx))
            found = audio;
    }
    TraceLeave(WSTR("CKsAudRenFilter::FindViablePin()"));
    return found;
}

CKsAudPin* CKsAudRenFilter::CreateRenderPin(const WAVEFORMATEX* pwfx, BOOL looped) {
    TraceEnter(WSTR("CKsAudRenFilter::CreateRenderPin()"));
    HRESULT hr = E_FAIL;
    CKsAudPin* pin = FindViablePin(pwfx);
    if (pin == nullptr) {
        Trace(kTraceSearch,
              WSTR("Could not find a Render pin that supports the given wave format"));
    } else {
        hr = pin->SetFormat(pwfx);
        if (FAILED(hr)) {
            Trace(
                kTraceError,
                WSTR("Failed to set Render Pin format - the pin lied about its supported formats"));
        } else {
            hr = pin->Instantiate(looped);
            if (SUCCEEDED(hr)) {
                Trace(kTraceNotice, WSTR("Successfully instantiated Render Pin.  Handle = 0x%08x"),
                      static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(pin->GetHandle())));
                TraceLeaveResult(WSTR("CKsAudRenFilter::CreateRenderPin"), hr);
                return pin;
            }
            Trace(kTraceError, WSTR("Failed to instantiate Render Pin"));
        }
    }
    // Every render-sink pin in turn, whatever its data ranges claim.
    auto* pos = m_listRenderSinkPins.GetHead();
    CKsPin* candidate = nullptr;
    while (m_listRenderSinkPins.GetNext(&pos, &candidate)) {
        auto* audio = static_cast<CKsAudPin*>(candidate);
        hr = audio->SetFormat(pwfx);
        if (FAILED(hr))
            continue;
        hr = audio->Instantiate(looped);
        if (FAILED(hr))
            continue;
        TraceLeaveResult(WSTR("CKsAudRenFilter::CreateRenderPin"), hr);
        return audio;
    }
    TraceLeaveResult(WSTR("CKsAudRenFilter::CreateRenderPin"), hr);
    return nullptr;
}

CKsAudCapFilter::CKsAudCapFilter(LPCWSTR pszName, HRESULT* phr) : CKsAudFilter(pszName, phr) {
    TraceEnter(WSTR("CKsAudCapFilter::CKsAudCapFilter()"));
    m_nFilterType = 2;
    TraceLeaveResult(WSTR("CKsAudCapFilter::CKsAudCapFilter"), *phr);
}

bool CKsAudRenFilter::RenderPinBusy(const WAVEFORMATEX* pwfx) {
    CKsAudPin* viable = FindViablePin(pwfx);
    KSPIN_CINSTANCES count{};
    if (!viable || FAILED(GetPinPropertySimple(viable->m_nId, kKsPropSetIdPin,
                                               KSPROPERTY_PIN_CINSTANCES, &count, sizeof count))) {
        return false;
    }
    return count.PossibleCount != KSINSTANCE_INDETERMINATE &&
           count.CurrentCount >= count.PossibleCount;
}

}  // namespace ferox
