#include "ks/pin.h"

#include <cstring>

#include "common/trace.h"
#include "ks/filter.h"
#include "platform/device.h"
#include "platform/system_library.h"

namespace ferox {

HMODULE KsUserLibrary::m_hModule = nullptr;
FARPROC KsUserLibrary::m_pfnKsCreatePin = nullptr;

DWORD KsUserLibrary::Load() {
    if (m_pfnKsCreatePin == nullptr) {
        if (m_hModule == nullptr) {
            m_hModule = LoadSystemLibrary(
                [](LPCWSTR name, HANDLE file, DWORD flags) {
                    return Device().LoadLibraryExW(name, file, flags);
                },
                WSTR("ksuser.dll"));
            if (m_hModule == nullptr)
                return ERROR_FILE_NOT_FOUND;
        }
        m_pfnKsCreatePin = Device().GetProcAddress(m_hModule, "KsCreatePin");
        if (m_pfnKsCreatePin == nullptr)
            return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

DWORD KsUserLibrary::CreatePin(HANDLE filter, KSPIN_CONNECT* connect, ACCESS_MASK access,
                               HANDLE* pinHandle) {
    const DWORD loaded = Load();
    if (loaded != ERROR_SUCCESS)
        return loaded;
    // GetProcAddress's generic pointer type; the export's own type is KsCreatePin's.
    const auto createPin =
        reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void (*)()>(m_pfnKsCreatePin));
    return createPin(filter, connect, access, pinHandle);
}

void KsUserLibrary::Forget() {
    m_hModule = nullptr;
    m_pfnKsCreatePin = nullptr;
}

CKsPin::CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : CKsIrpTarget(INVALID_HANDLE_VALUE),
      m_pksPinCreate(nullptr),
      m_cbPinCreate(0),
      m_nId(nId),
      m_pFilter(pFilter),
      m_guidCategory(GUID_NULL),
      m_nPinType(0),
      m_ksState(KSSTATE_STOP),
      m_pVendorIo(nullptr) {
    TraceEnter(WSTR("CKsPin::CKsPin()"));
    std::memset(&m_Descriptor, 0, sizeof(m_Descriptor));
    std::memset(m_szFriendlyName, 0, sizeof(m_szFriendlyName));
    // Only the first two words are ever assigned; the rest must not carry stale memory.
    std::memset(m_vendorRequest, 0, sizeof(m_vendorRequest));
    const HRESULT hr = Init();
    *phr = hr;
    TraceLeaveResult(WSTR("CKsPin::CKsPin"), hr);
}

CKsPin::~CKsPin() {
    TraceEnter(WSTR("CKsPin::~CKsPin()"));
    ClosePin();
    Free(m_pksPinCreate);
    Free(m_Descriptor.m_pmiDataRanges);
    Free(m_Descriptor.m_pmiInterfaces);
    Free(m_Descriptor.m_pmiMediums);
    if (m_pVendorIo != nullptr) {
        SafeCloseHandle(m_pVendorIo->event);
        Free(m_pVendorIo);
    }
    TraceLeave(WSTR("CKsPin::~CKsPin()"));
}

namespace {

// Items of `itemSize` bytes that a reply of `cbValid` bytes really holds, at most its Count.
ULONG ItemsInReply(const KSMULTIPLE_ITEM* block, ULONG cbValid, ULONG itemSize) {
    if (block == nullptr || cbValid < sizeof(KSMULTIPLE_ITEM))
        return 0;
    const ULONG fit = (cbValid - sizeof(KSMULTIPLE_ITEM)) / itemSize;
    return block->Count < fit ? block->Count : fit;
}

}  // namespace

HRESULT CKsPin::Init() {
    TraceEnter(WSTR("CKsPin::Init()"));
    bool failed = false;
    auto simple = [&](ULONG id, void* value, ULONG cb, const WCHAR* message) {
        if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, kKsPropSetIdPin, id, value, cb))) {
            Trace(kTraceProperty, message, m_nId);
            failed = true;
        }
    };
    // A reply shorter than its header holds no items and is not read.
    auto multi = [&](ULONG id, KSMULTIPLE_ITEM** block, ULONG* cbValid, const WCHAR* message) {
        *cbValid = 0;
        if (FAILED(m_pFilter->GetPinPropertyMulti(m_nId, kKsPropSetIdPin, id, block, cbValid))) {
            Trace(kTraceProperty, message, m_nId);
            failed = true;
            *cbValid = 0;
        }
    };

    KsPinDescriptor& d = m_Descriptor;
    // Any 32-bit value can come back, and one outside an enum's range must never be held in
    // it: a kind of communication none of the known ones is kept as one no case recognises.
    ULONG communication = KSPIN_COMMUNICATION_NONE;
    simple(KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof(communication),
           WSTR("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d"));
    d.Communication = static_cast<KSPIN_COMMUNICATION>(communication <= KSPIN_COMMUNICATION_BRIDGE
                                                           ? communication
                                                           : ULONG{KSPIN_COMMUNICATION_BRIDGE} + 1);

    ULONG cb = 0;
    multi(KSPROPERTY_PIN_INTERFACES, &d.m_pmiInterfaces, &cb,
          WSTR("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d"));
    d.cInterfaces = ItemsInReply(d.m_pmiInterfaces, cb, sizeof(KSPIN_INTERFACE));
    if (d.cInterfaces != 0) {
        d.pInterfaces = reinterpret_cast<const KSPIN_INTERFACE*>(d.m_pmiInterfaces + 1);
    }

    multi(KSPROPERTY_PIN_MEDIUMS, &d.m_pmiMediums, &cb,
          WSTR("Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d"));
    d.cMediums = ItemsInReply(d.m_pmiMediums, cb, sizeof(KSPIN_MEDIUM));
    if (d.cMediums != 0)
        d.pMediums = reinterpret_cast<const KSPIN_MEDIUM*>(d.m_pmiMediums + 1);

    multi(KSPROPERTY_PIN_DATARANGES, &d.m_pmiDataRanges, &cb,
          WSTR("Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d"));
    if (d.m_pmiDataRanges != nullptr && cb >= sizeof(KSMULTIPLE_ITEM)) {
        d.cDataRanges = d.m_pmiDataRanges->Count;
        d.pDataRanges = reinterpret_cast<const KSDATARANGE*>(d.m_pmiDataRanges + 1);
        d.cbDataRanges = cb - sizeof(KSMULTIPLE_ITEM);
    }

    ULONG flow = 0;
    simple(KSPROPERTY_PIN_DATAFLOW, &flow, sizeof(flow),
           WSTR("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d"));
    // Neither in nor out: unknown, as when it cannot be read.
    d.DataFlow = static_cast<KSPIN_DATAFLOW>(
        flow == KSPIN_DATAFLOW_IN || flow == KSPIN_DATAFLOW_OUT ? flow : 0);
    simple(KSPROPERTY_PIN_CINSTANCES, &d.CInstances, sizeof(d.CInstances),
           WSTR("Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d"));
    simple(KSPROPERTY_PIN_GLOBALCINSTANCES, &d.CInstancesGlobal, sizeof(d.CInstancesGlobal),
           WSTR("Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d"));
    simple(KSPROPERTY_PIN_CATEGORY, &m_guidCategory, sizeof(m_guidCategory),
           WSTR("Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d"));
    simple(KSPROPERTY_PIN_NAME, m_szFriendlyName, sizeof(m_szFriendlyName) - 1,
           WSTR("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d"));
    // The device need not terminate the name within the room it was given.
    m_szFriendlyName[kPinNameChars - 1] = 0;

    const HRESULT hr = failed ? S_FALSE : S_OK;
    TraceLeaveResult(WSTR("CKsPin::Init"), hr);
    return hr;
}

HRESULT CKsPin::Instantiate(BOOL looped) {
    TraceEnter(WSTR("CKsPin::Instantiate()"));
    HRESULT hr = S_OK;
    if (m_pksPinCreate != nullptr) {
        m_pksPinCreate->Interface.Id =
            looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
        const DWORD r = KsUserLibrary::CreatePin(m_pFilter->GetHandle(), m_pksPinCreate,
                                                 GENERIC_READ | GENERIC_WRITE, &m_handle);
        if (r != 0) {
            hr = static_cast<LONG>(r) > 0 ? static_cast<HRESULT>(0x80070000u | (r & 0xFFFFu))
                                          : static_cast<HRESULT>(r);
            Trace(kTraceError, WSTR("Failed to instantiate pin. hr=0x%08x"), hr);
        }
    }
    TraceLeaveResult(WSTR("CKsPin::Instantiate"), hr);
    return hr;
}

HRESULT CKsPin::SetState(KSSTATE state) {
    TraceEnter(WSTR("CKsPin::SetState()"));
    const HRESULT hr = SetPropertySimple(kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE,
                                         &state, sizeof(state), nullptr, 0);
    if (SUCCEEDED(hr)) {
        m_ksState = state;
    } else {
        Trace(kTraceError, WSTR("Failed to Set Pin State"));
    }
    TraceLeaveResult(WSTR("CKsPin::SetState"), hr);
    return hr;
}

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* pHeader, OVERLAPPED* pOverlapped) {
    TraceEnter(WSTR("CKsPin::WriteData()"));
    HRESULT hr = S_OK;
    DWORD count = 0;
    if (!Device().DeviceIoControl(m_handle, IOCTL_KS_WRITE_STREAM, nullptr, 0, pHeader,
                                  pHeader->Size, &count, pOverlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            Trace(kTraceError, WSTR("CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x"),
                  error);
            hr = E_FAIL;
        }
    }
    TraceLeaveResult(WSTR("CKsPin::WriteData"), hr);
    return hr;
}

void CKsPin::ClosePin(bool stopFirst) {
    TraceEnter(WSTR("CKsPin::ClosePin()"));
    if (IsValidHandle(m_handle)) {
        if (stopFirst)
            SetState(KSSTATE_STOP);
        SafeCloseHandle(m_handle);
    }
    TraceLeave(WSTR("CKsPin::ClosePin()"));
}

HRESULT CKsPin::GetDataFlow(KSPIN_DATAFLOW* pFlow) {
    TraceEnter(WSTR("CKsPin::GetDataFlow()"));
    *pFlow = m_Descriptor.DataFlow;
    TraceLeaveResult(WSTR("CKsPin::GetDataFlow"), S_OK);
    return S_OK;
}

HRESULT CKsPin::GetCommunication(KSPIN_COMMUNICATION* pComm) {
    TraceEnter(WSTR("CKsPin::GetCommunication()"));
    *pComm = m_Descriptor.Communication;
    TraceLeaveResult(WSTR("CKsPin::GetCommunication"), S_OK);
    return S_OK;
}

HRESULT CKsPin::SetVendorMode(ULONG mode) {
    // The handle is overlapped, so the request must be too; its record outlives the call in
    // case the device keeps the request (the end of a stream must not hang on it).
    if (m_pVendorIo == nullptr) {
        auto* io = static_cast<KsIoBlock*>(Allocate(sizeof(KsIoBlock)));
        if (io == nullptr)
            return E_OUTOFMEMORY;
        std::memset(io, 0, sizeof(*io));
        io->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (io->event == nullptr) {
            Free(io);
            return E_OUTOFMEMORY;
        }
        io->timeoutMs = kVendorRequestTimeoutMs;
        m_pVendorIo = io;
    }
    const ULONG words[2] = {mode, 0};
    std::memcpy(m_vendorRequest, words, sizeof(words));
    const HRESULT hr = SyncIoctl(m_handle, IOCTL_VENDOR_SET_MODE, m_vendorRequest,
                                 sizeof(m_vendorRequest), nullptr, 0, nullptr, m_pVendorIo);
    if (m_pVendorIo->held)
        m_pVendorIo = nullptr;  // the device's now
    return hr;
}

}  // namespace ferox
