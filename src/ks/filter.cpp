#include "ks/filter.h"

#include <cstring>
#include <initializer_list>

#include "common/trace.h"
#include "ks/pin.h"
#include "platform/device.h"
#include "platform/wide.h"

namespace ferox {

CKsNode::CKsNode(ULONG nId, const GUID* pType, HRESULT* phr) : m_nId(nId), m_guidType(*pType) {
    TraceEnter(WSTR("CKsNode::CKsNode()"));
    *phr = S_OK;
    TraceLeaveResult(WSTR("CKsNode::CKsNode"), S_OK);
}

CKsFilter::CKsFilter(const WCHAR* pszName, HRESULT* phr)
    : CKsIrpTarget(INVALID_HANDLE_VALUE), m_nFilterType(0) {
    TraceEnter(WSTR("CKsFilter::CKsFilter()"));
    HRESULT hr = InternalInit();
    if (pszName == nullptr) {
        Trace(kTraceError, WSTR("pszName cannot be NULL"));
        hr = E_INVALIDARG;
    } else if (WideLength(pszName) >= kFilterNameChars) {
        // Cut short it would name another device, or none.
        Trace(kTraceError, WSTR("pszName is too long"));
        hr = E_INVALIDARG;
    } else {
        WideCopy(m_szFilterName, kFilterNameChars, pszName);
    }
    *phr = hr;
    TraceLeaveResult(WSTR("CKsFilter::CKsFilter"), hr);
}

CKsFilter::~CKsFilter() {
    TraceEnter(WSTR("CKsFilter::~CKsFilter()"));
    const HRESULT hr = DestroyLists();
    SafeCloseHandle(m_handle);
    TraceLeaveResult(WSTR("CKsFilter::~CKsFilter"), hr);
}

HRESULT CKsFilter::InternalInit() {
    TraceEnter(WSTR("CKsFilter::InternalInit()"));
    std::memset(m_szFilterName, 0, sizeof(m_szFilterName));
    m_listNodes.Initialize(1);
    m_listPins.Initialize(1);
    m_listRenderSinkPins.Initialize(1);
    m_listRenderSourcePins.Initialize(1);
    m_listCaptureSinkPins.Initialize(1);
    m_listCaptureSourcePins.Initialize(1);
    m_listNoCommPins.Initialize(1);
    TraceLeaveResult(WSTR("CKsFilter::InternalInit"), S_OK);
    return S_OK;
}

HRESULT CKsFilter::Instantiate() {
    TraceEnter(WSTR("CKsFilter::Instantiate()"));
    HRESULT hr = S_OK;
    m_handle =
        Device().CreateFileW(m_szFilterName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    // Taken at once: tracing may change the thread's last error (it does under Wine).
    const DWORD error = GetLastError();
    if (!IsValidHandle(m_handle)) {
        Trace(kTraceError,
              WSTR("CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x"),
              m_szFilterName, error);
        hr = E_FAIL;
    }
    TraceLeaveResult(WSTR("CKsFilter::Instantiate"), hr);
    return hr;
}

namespace {

KSP_PIN PinRequest(ULONG nPinId, const GUID& set, ULONG id) {
    KSP_PIN request;
    std::memset(&request, 0, sizeof(request));
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = nPinId;
    request.Reserved = 0;
    return request;
}

}  // namespace

HRESULT CKsFilter::GetPinPropertySimple(ULONG nPinId, const GUID& set, ULONG id, void* value,
                                        ULONG cbValue) {
    TraceEnter(WSTR("CKsFilter::GetPinPropertySimple()"));
    KSP_PIN request = PinRequest(nPinId, set, id);
    const HRESULT hr =
        SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), value, cbValue, nullptr);
    TraceLeaveResult(WSTR("CKsFilter::GetPinPropertySimple"), hr);
    return hr;
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG nPinId, const GUID& set, ULONG id,
                                       KSMULTIPLE_ITEM** ppItems, ULONG* pcbValid) {
    TraceEnter(WSTR("CKsFilter::GetPinPropertyMulti()"));
    if (pcbValid != nullptr)
        *pcbValid = 0;
    KSP_PIN request = PinRequest(nPinId, set, id);
    ULONG cb = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), nullptr, 0, &cb);
    if (SUCCEEDED(hr)) {
        // Also for 0 bytes: an empty block, which the pin must not read past.
        *ppItems = static_cast<KSMULTIPLE_ITEM*>(Allocate(cb));
        if (*ppItems == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            std::memset(*ppItems, 0, cb);
            ULONG delivered = 0;
            hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), *ppItems, cb,
                           &delivered);
            if (SUCCEEDED(hr) && pcbValid != nullptr)
                *pcbValid = delivered < cb ? delivered : cb;
        }
    }
    TraceLeaveResult(WSTR("CKsFilter::GetPinPropertyMulti"), hr);
    return hr;
}

HRESULT CKsFilter::EnumerateNodes() {
    TraceEnter(WSTR("CKsFilter::EnumerateNodes()"));
    EmptyNodes();
    KSMULTIPLE_ITEM* block = nullptr;
    ULONG cbValid = 0;
    HRESULT hr =
        GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &block, &cbValid);
    if (FAILED(hr)) {
        Trace(kTraceSearch,
              WSTR("Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"));
        Free(block);
        TraceLeaveResult(WSTR("CKsFilter::EnumerateNodes"), hr);
        return hr;
    }
    if (block == nullptr) {
        TraceLeaveResult(WSTR("CKsFilter::EnumerateNodes"), S_OK);
        return S_OK;
    }
    // Only the GUIDs that lie inside the reply are read; a Count that claims more fails below.
    const ULONG count = cbValid >= sizeof(KSMULTIPLE_ITEM) ? block->Count : 0;
    const ULONG fit =
        cbValid >= sizeof(KSMULTIPLE_ITEM) ? (cbValid - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID) : 0;
    const auto* types = reinterpret_cast<const BYTE*>(block + 1);
    for (ULONG i = 0; i < count && i < fit; ++i) {
        GUID type;
        std::memcpy(&type, types + i * sizeof(GUID), sizeof(GUID));
        HRESULT hrNode = S_OK;
        CKsNode* node = new CKsNode(i, &type, &hrNode);
        if (node != nullptr && m_listNodes.AddTail(node) == nullptr)
            delete node;
    }
    hr = S_OK;
    if (m_listNodes.GetCount() != count) {
        EmptyNodes();
        hr = E_FAIL;
    }
    Free(block);
    TraceLeaveResult(WSTR("CKsFilter::EnumerateNodes"), hr);
    return hr;
}

HRESULT CKsFilter::EnumeratePins() {
    TraceEnter(WSTR("CKsFilter::EnumeratePins()"));
    ULONG count = 0;
    HRESULT hr =
        GetPinPropertySimple(0, kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &count, sizeof(count));
    if (SUCCEEDED(hr)) {
        for (ULONG i = 0; i < count; ++i) {
            HRESULT hrPin = S_OK;
            CKsPin* pin = new CKsPin(this, i, &hrPin);
            if (pin == nullptr) {
                Trace(kTraceError, WSTR("Failed to create pin"));
                continue;
            }
            if (m_listPins.AddTail(pin) == nullptr) {
                Trace(kTraceError, WSTR("Failed to add pin to list"));
                delete pin;
            }
        }
    }
    hr = ClassifyPins();
    if (m_listRenderSinkPins.GetCount() == 0 && m_listRenderSourcePins.GetCount() == 0 &&
        m_listCaptureSinkPins.GetCount() == 0 && m_listCaptureSourcePins.GetCount() == 0 &&
        m_listNoCommPins.GetCount() == 0) {
        Trace(kTraceError, WSTR("Filter is not viable. It has no pins."));
        hr = E_FAIL;
    }
    TraceLeaveResult(WSTR("CKsFilter::EnumeratePins"), hr);
    return hr;
}

HRESULT CKsFilter::ClassifyPins() {
    TraceEnter(WSTR("CKsFilter::ClassifyPins()"));
    HRESULT hr = S_OK;
    auto* pos = m_listPins.GetHead();
    CKsPin* pin = nullptr;
    while (hr == S_OK && m_listPins.GetNext(&pos, &pin)) {
        KSPIN_DATAFLOW flow{};
        KSPIN_COMMUNICATION communication{};
        pin->GetCommunication(&communication);
        pin->GetDataFlow(&flow);
        const bool in = flow == KSPIN_DATAFLOW_IN;
        TList<CKsPin>* first = nullptr;
        TList<CKsPin>* second = nullptr;
        switch (static_cast<ULONG>(communication)) {
            case KSPIN_COMMUNICATION_NONE:
                first = &m_listNoCommPins;
                break;
            case KSPIN_COMMUNICATION_SINK:
                first = in ? &m_listRenderSinkPins : &m_listCaptureSinkPins;
                break;
            case KSPIN_COMMUNICATION_SOURCE:
                first = in ? &m_listCaptureSourcePins : &m_listRenderSourcePins;
                break;
            case KSPIN_COMMUNICATION_BOTH:
                first = in ? &m_listRenderSinkPins : &m_listCaptureSinkPins;
                second = in ? &m_listCaptureSourcePins : &m_listRenderSourcePins;
                break;
            default:
                Trace(kTraceNotice, WSTR("Pin communication type not recognized"));
                break;
        }
        if (first != nullptr && first->AddTail(pin) == nullptr)
            hr = E_OUTOFMEMORY;
        if (second != nullptr && second->AddTail(pin) == nullptr)
            hr = E_OUTOFMEMORY;
    }
    TraceLeaveResult(WSTR("CKsFilter::ClassifyPins"), hr);
    return hr;
}

void CKsFilter::EmptyNodes() {
    CKsNode* node = nullptr;
    while (m_listNodes.RemoveHead(&node))
        delete node;
}

HRESULT CKsFilter::DestroyLists() {
    TraceEnter(WSTR("CKsFilter::DestroyLists()"));
    EmptyNodes();
    CKsPin* pin = nullptr;
    while (m_listPins.RemoveHead(&pin))
        delete pin;
    for (TList<CKsPin>* list :
         {&m_listRenderSinkPins, &m_listRenderSourcePins, &m_listCaptureSinkPins,
          &m_listCaptureSourcePins, &m_listNoCommPins}) {
        while (list->RemoveHead(&pin)) {
        }
    }
    TraceLeaveResult(WSTR("CKsFilter::DestroyLists"), S_OK);
    return S_OK;
}

}  // namespace ferox
