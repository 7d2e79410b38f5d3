#include "ks/audio_pin.h"

#include <cstring>

#include "common/trace.h"

namespace ferox {

ULONG WaveFormatBytes(const WAVEFORMATEX* pwfx) {
    if (pwfx->wFormatTag == WAVE_FORMAT_PCM)
        return sizeof(WAVEFORMATEX);
    return sizeof(WAVEFORMATEX) + pwfx->cbSize;
}

namespace {

KSDATAFORMAT* DataFormatOf(KSPIN_CONNECT* connect) {
    return reinterpret_cast<KSDATAFORMAT*>(reinterpret_cast<BYTE*>(connect) + kPinConnectBytes);
}

bool IsWildcard(const GUID& g) {
    return g == GUID{};
}

// {0000xxxx-0000-0010-8000-00AA00389B71}: every byte but the first two of the wave-format base.
bool IsWaveFormatSubtype(const GUID& g) {
    const auto* a = reinterpret_cast<const BYTE*>(&g);
    const auto* b = reinterpret_cast<const BYTE*>(&kKsDataFormatSubtypeWaveFormatEx);
    return std::memcmp(a + 2, b + 2, sizeof(GUID) - 2) == 0;
}

}  // namespace

CKsAudPin::CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : CKsPin(pFilter, nId, phr), m_pWaveFormat(nullptr), m_pksDataFormatWfx(nullptr) {
    TraceEnter(WSTR("CKsAudPin::CKsAudPin()"));
    HRESULT hr = *phr;
    if (SUCCEEDED(hr)) {
        m_listDataRange.Initialize(1);
        m_listNodes.Initialize(1);
        m_cbPinCreate = kPinCreateBytes;
        m_pksPinCreate = static_cast<KSPIN_CONNECT*>(Allocate(m_cbPinCreate));
        if (m_pksPinCreate == nullptr) {
            m_cbPinCreate = 0;
            Trace(kTraceError, WSTR("Failed to allocate m_pksPinCreate"));
            hr = E_OUTOFMEMORY;
        } else {
            std::memset(m_pksPinCreate, 0, m_cbPinCreate);
            m_pksPinCreate->Interface.Set = kKsInterfaceSetIdStandard;
            m_pksPinCreate->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
            m_pksPinCreate->Interface.Flags = 0;
            m_pksPinCreate->Medium.Set = kKsMediumSetIdStandard;
            m_pksPinCreate->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
            m_pksPinCreate->Medium.Flags = 0;
            m_pksPinCreate->PinId = nId;
            m_pksPinCreate->PinToHandle = nullptr;
            m_pksPinCreate->Priority.PriorityClass = KSPRIORITY_NORMAL;
            m_pksPinCreate->Priority.PrioritySubClass = 1;
            KSDATAFORMAT* format = DataFormatOf(m_pksPinCreate);
            format->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
            format->Flags = 0;
            format->Reserved = 0;
            format->MajorFormat = kKsDataFormatTypeAudio;
            format->SubFormat = kKsDataFormatSubtypePcm;
            format->Specifier = kKsDataFormatSpecifierWaveFormatEx;
            m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(format);
            hr = Init();
        }
    }
    *phr = hr;
    TraceLeaveResult(WSTR("CKsAudPin::CKsAudPin"), hr);
}

CKsAudPin::~CKsAudPin() {
    TraceEnter(WSTR("CKsAudPin::~CKsAudPin()"));
    KSDATARANGE_AUDIO* range = nullptr;
    while (m_listDataRange.RemoveHead(&range))
        Free(range);
    void* node = nullptr;
    while (m_listNodes.RemoveHead(&node))
        Free(node);
    Free(m_pWaveFormat);
    TraceLeave(WSTR("CKsAudPin::~CKsAudPin()"));
}

HRESULT CKsAudPin::Init() {
    TraceEnter(WSTR("CKsAudPin::Init()"));
    const KsPinDescriptor& d = m_Descriptor;

    bool standard = false;
    for (ULONG i = 0; i < d.cInterfaces && !standard; ++i) {
        standard = d.pInterfaces[i].Set == kKsInterfaceSetIdStandard &&
                   d.pInterfaces[i].Id == KSINTERFACE_STANDARD_STREAMING;
    }
    if (!standard) {
        Trace(kTraceError, WSTR("No standard streaming interfaces on the pin"));
        TraceLeaveResult(WSTR("CKsAudPin::Init"), E_FAIL);
        return E_FAIL;
    }
    standard = false;
    for (ULONG i = 0; i < d.cMediums && !standard; ++i) {
        standard = d.pMediums[i].Set == kKsMediumSetIdStandard &&
                   d.pMediums[i].Id == KSMEDIUM_TYPE_ANYINSTANCE;
    }
    if (!standard) {
        Trace(kTraceError, WSTR("No standard streaming mediums on the pin"));
        TraceLeaveResult(WSTR("CKsAudPin::Init"), E_FAIL);
        return E_FAIL;
    }

    // The walk trusts neither Count nor FormatSize beyond the bytes the reply holds.
    HRESULT hr = S_OK;
    bool viable = false;
    const auto* base = reinterpret_cast<const BYTE*>(d.pDataRanges);
    ULONG offset = 0;
    for (ULONG i = 0; i < d.cDataRanges; ++i) {
        if (d.cbDataRanges - offset < sizeof(KSDATARANGE))
            break;
        KSDATARANGE_AUDIO range;
        std::memcpy(&range.DataRange, base + offset, sizeof(KSDATARANGE));
        const ULONG formatSize = range.DataRange.FormatSize;
        if (formatSize == 0)
            break;
        const bool fits = formatSize <= d.cbDataRanges - offset;
        if (fits && formatSize >= sizeof(KSDATARANGE_AUDIO)) {
            std::memcpy(&range, base + offset, sizeof(range));
            if (!viable) {
                viable = IsWaveFormatSubtype(range.DataRange.SubFormat) ||
                         IsWildcard(range.DataRange.SubFormat);
            }
            if (viable && range.DataRange.MajorFormat == kKsDataFormatTypeAudio) {
                auto* copy = static_cast<KSDATARANGE_AUDIO*>(Allocate(sizeof(KSDATARANGE_AUDIO)));
                if (copy == nullptr) {
                    Trace(kTraceError, WSTR("Unable to allocate memory to save datarange in"));
                    hr = E_OUTOFMEMORY;
                } else {
                    std::memcpy(copy, &range, sizeof(range));
                    if (m_listDataRange.AddTail(copy) == nullptr) {
                        Free(copy);
                        Trace(kTraceError,
                              WSTR("Unable to allocate list entry to save datarange in"));
                        hr = E_OUTOFMEMORY;
                    }
                }
            }
        }
        if (!fits)
            break;
        offset += formatSize;
    }
    if (!viable) {
        Trace(kTraceError, WSTR("No audio dataranges on the pin"));
        hr = E_FAIL;
    }
    TraceLeaveResult(WSTR("CKsAudPin::Init"), hr);
    return hr;
}

BOOL CKsAudPin::IsFormatSupported(const WAVEFORMATEX* pwfx) {
    TraceEnter(WSTR("CKsAudPin::IsFormatSupported()"));
    GUID wanted = kKsDataFormatSubtypeWaveFormatEx;
    if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        std::memcpy(&wanted, reinterpret_cast<const BYTE*>(pwfx) + 24, sizeof(GUID));
    } else {
        wanted.Data1 = pwfx->wFormatTag;
    }
    BOOL supported = FALSE;
    auto* pos = m_listDataRange.GetHead();
    KSDATARANGE_AUDIO* range = nullptr;
    while (!supported && m_listDataRange.GetNext(&pos, &range)) {
        const KSDATARANGE& r = range->DataRange;
        supported =
            (IsWildcard(r.MajorFormat) || r.MajorFormat == kKsDataFormatTypeAudio) &&
            (IsWildcard(r.SubFormat) || r.SubFormat == wanted) &&
            (IsWildcard(r.Specifier) || r.Specifier == kKsDataFormatSpecifierWaveFormatEx) &&
            range->MaximumChannels >= pwfx->nChannels &&
            range->MinimumBitsPerSample <= pwfx->wBitsPerSample &&
            pwfx->wBitsPerSample <= range->MaximumBitsPerSample &&
            range->MinimumSampleFrequency <= pwfx->nSamplesPerSec &&
            pwfx->nSamplesPerSec <= range->MaximumSampleFrequency;
    }
    TraceLeave(WSTR("CKsAudPin::IsFormatSupported()"));
    return supported;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX* pwfx) {
    TraceEnter(WSTR("CKsAudPin::SetFormat()"));
    if (pwfx == nullptr || m_pksDataFormatWfx == nullptr) {
        Trace(kTraceError, WSTR("pwfx or m_pksDataFormatWfx are NULL"));
        TraceLeaveResult(WSTR("CKsAudPin::SetFormat"), E_FAIL);
        return E_FAIL;
    }
    const ULONG cb = WaveFormatBytes(pwfx);
    const ULONG needed = kPinConnectAndFormatBytes + cb;
    if (m_cbPinCreate != needed) {
        auto* request = static_cast<KSPIN_CONNECT*>(Allocate(needed));
        if (request == nullptr) {
            Trace(kTraceError, WSTR("Unable to allocate KSPIN_CONNECT structure"));
            TraceLeaveResult(WSTR("CKsAudPin::SetFormat"), E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        std::memset(request, 0, needed);
        std::memcpy(request, m_pksPinCreate, m_cbPinCreate < needed ? m_cbPinCreate : needed);
        Free(m_pksPinCreate);
        m_pksPinCreate = request;
        m_cbPinCreate = needed;
        m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(DataFormatOf(request));
    }
    KSDATAFORMAT* format = DataFormatOf(m_pksPinCreate);
    format->FormatSize = sizeof(KSDATAFORMAT) + cb;
    std::memcpy(reinterpret_cast<BYTE*>(m_pksPinCreate) + kPinConnectAndFormatBytes, pwfx, cb);
    format->SampleSize = static_cast<USHORT>((pwfx->nChannels * pwfx->wBitsPerSample) / 8);

    Free(m_pWaveFormat);
    m_pWaveFormat = static_cast<WAVEFORMATEX*>(Allocate(cb));
    if (m_pWaveFormat != nullptr)
        std::memcpy(m_pWaveFormat, pwfx, cb);
    TraceLeaveResult(WSTR("CKsAudPin::SetFormat"), S_OK);
    return S_OK;
}

HRESULT CKsAudPin::GetPosition(KSAUDIO_POSITION* pPosition) {
    TraceEnter(WSTR("CKsAudPin::GetPosition()"));
    if (pPosition == nullptr) {
        TraceLeaveResult(WSTR("CKsAudPin::GetPosition"), E_INVALIDARG);
        return E_INVALIDARG;
    }
    const HRESULT hr = GetPropertySimple(kKsPropSetIdAudio, KSPROPERTY_AUDIO_POSITION, pPosition,
                                         sizeof(*pPosition), nullptr, 0);
    if (FAILED(hr))
        Trace(kTraceError, WSTR("Failed to retrieve audio stream position - %#08x"), hr);
    TraceLeaveResult(WSTR("CKsAudPin::GetPosition"), hr);
    return hr;
}

HRESULT CKsAudPin::GetLatency(KSTIME* pLatency) {
    TraceEnter(WSTR("CKsAudPin::GetLatency()"));
    if (pLatency == nullptr) {
        TraceLeaveResult(WSTR("CKsAudPin::GetLatency"), E_INVALIDARG);
        return E_INVALIDARG;
    }
    const HRESULT hr = GetPropertySimple(kKsPropSetIdAudio, KSPROPERTY_AUDIO_LATENCY, pLatency,
                                         sizeof(*pLatency), nullptr, 0);
    TraceLeaveResult(WSTR("CKsAudPin::GetLatency"), hr);
    return hr;
}

CKsAudRenPin::CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : CKsAudPin(pFilter, nId, phr) {
    TraceEnter(WSTR("CKsAudRenPin::CKsAudRenPin()"));
    m_nPinType = 1;
    TraceLeaveResult(WSTR("CKsAudRenPin::CKsAudRenPin"), *phr);
}

CKsAudRenPin::~CKsAudRenPin() {
    TraceEnter(WSTR("CKsAudRenPin::~CKsAudRenPin()"));
    TraceLeave(WSTR("CKsAudRenPin::~CKsAudRenPin()"));
}

CKsAudCapPin::CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : CKsAudPin(pFilter, nId, phr) {
    TraceEnter(WSTR("CKsAudCapPin::CKsAudCapPin()"));
    m_nPinType = 2;
    TraceLeaveResult(WSTR("CKsAudCapPin::CKsAudCapPin"), *phr);
}

CKsAudCapPin::~CKsAudCapPin() {
    TraceEnter(WSTR("CKsAudCapPin::~CKsAudCapPin()"));
    TraceLeave(WSTR("CKsAudCapPin::~CKsAudCapPin()"));
}

}  // namespace ferox
