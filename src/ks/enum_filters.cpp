#include "ks/enum_filters.h"

#include <cstddef>

#include "common/trace.h"
#include "ks/audio_filter.h"
#include "platform/device.h"
#include "platform/wide.h"

namespace ferox {

namespace {

// Room for a device path of up to 260 characters and its terminator.
constexpr DWORD kDetailBytes = 526;
constexpr DWORD kInstanceIdChars = 100;

CKsFilter* NewFilter(FilterType type, const WCHAR* path, HRESULT* phr) {
    switch (type) {
        case FILTER_TYPE_AUDIO_RENDER:
            return new CKsAudRenFilter(path, phr);
        case FILTER_TYPE_AUDIO_CAPTURE:
            return new CKsAudCapFilter(path, phr);
        default:
            return new CKsFilter(path, phr);
    }
}

// Only A-Z fold: identifiers are ASCII, and locale rules must not decide what matches.
bool IsDacInstance(const WCHAR* instanceId) {
    return WideStartsWithNoCase(instanceId, kDacHardwareId);
}

}  // namespace

CKsEnumFilters::CKsEnumFilters(HRESULT* phr) {
    TraceEnter(WSTR("CKsEnumFilters::CKsEnumFilters()"));
    *phr = m_listFilters.Initialize(1);
    TraceLeaveResult(WSTR("CKsEnumFilters::CKsEnumFilters"), *phr);
}

CKsEnumFilters::~CKsEnumFilters() {
    TraceEnter(WSTR("CKsEnumFilters::~CKsEnumFilters()"));
    const HRESULT hr = CKsEnumFilters::DestroyLists();
    TraceLeaveResult(WSTR("CKsEnumFilters::~CKsEnumFilters"), hr);
}

HRESULT CKsEnumFilters::DestroyLists() {
    TraceEnter(WSTR("CKsEnumFilters::DestroyLists()"));
    CKsFilter* filter = nullptr;
    while (m_listFilters.RemoveHead(&filter))
        delete filter;
    TraceLeaveResult(WSTR("CKsEnumFilters::DestroyLists"), S_OK);
    return S_OK;
}

HRESULT CKsEnumFilters::EnumFilters(FilterType filterType, const GUID* categories, ULONG count,
                                    BOOL enumPins, BOOL enumNodes, BOOL instantiate) {
    TraceEnter(WSTR("CKsEnumFilters::EnumFilters()"));
    DeviceApi& device = Device();
    HRESULT hr = DestroyLists();
    HDEVINFO set = nullptr;

    if (SUCCEEDED(hr) && categories && !IsEqualGUID(categories[0], GUID_NULL)) {
        set = device.SetupDiGetClassDevsW(&categories[0], nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (!CKsIrpTarget::IsValidHandle(set)) {
            hr = E_FAIL;
            Trace(kTraceSearch, WSTR("No devices found"));
        }
    }

    for (DWORD index = 0; CKsIrpTarget::IsValidHandle(set) && SUCCEEDED(hr); ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        SP_DEVICE_INTERFACE_DATA aliasData{};
        aliasData.cbSize = sizeof aliasData;
        SP_DEVINFO_DATA devInfoData{};
        devInfoData.cbSize = sizeof devInfoData;
        if (!device.SetupDiEnumDeviceInterfaces(set, nullptr, &categories[0], index,
                                                &interfaceData)) {
            break;
        }

        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(Allocate(kDetailBytes));
        if (!detail) {
            hr = E_OUTOFMEMORY;
            Trace(kTraceSearch,
                  WSTR("Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure"));
            break;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        const BOOL haveDetail = device.SetupDiGetDeviceInterfaceDetailW(
            set, &interfaceData, detail, kDetailBytes, nullptr, &devInfoData);

        WCHAR instanceId[kInstanceIdChars];
        instanceId[0] = 0;
        bool accepted = device.SetupDiGetDeviceInstanceIdW(set, &devInfoData, instanceId,
                                                           kInstanceIdChars, nullptr) &&
                        haveDetail && IsDacInstance(instanceId);

        for (ULONG i = 1; accepted && i < count; ++i) {
            if (!device.SetupDiGetDeviceInterfaceAlias(set, &interfaceData, &categories[i],
                                                       &aliasData)) {
                Trace(kTraceNotice, WSTR("Failed to get requested DeviceInterfaceAlias"));
                accepted = false;
            } else if (aliasData.Flags == 0 || (aliasData.Flags & SPINT_REMOVED)) {
                Trace(kTraceNotice, WSTR("DeviceInterfaceAlias disabled."));
                accepted = false;
            }
        }

        if (accepted) {
            HRESULT hrFilter = S_OK;
            CKsFilter* filter = NewFilter(filterType, detail->DevicePath, &hrFilter);
            if (!filter)
                hrFilter = E_OUTOFMEMORY;
            if (SUCCEEDED(hrFilter) && (enumPins || enumNodes || instantiate)) {
                hrFilter = filter->Instantiate();
                if (enumNodes && SUCCEEDED(hrFilter))
                    hrFilter = filter->EnumerateNodes();
                if (enumPins && SUCCEEDED(hrFilter))
                    hrFilter = filter->EnumeratePins();
            }
            if (SUCCEEDED(hrFilter) && !m_listFilters.AddTail(filter))
                hrFilter = E_OUTOFMEMORY;
            if (FAILED(hrFilter)) {
                delete filter;
                Trace(kTraceError, WSTR("Failed to create filter for %s"), detail->DevicePath);
            }
        }
        Free(detail);
    }

    if (CKsIrpTarget::IsValidHandle(set))
        device.SetupDiDestroyDeviceInfoList(set);
    if (SUCCEEDED(hr) && m_listFilters.GetCount() == 0)
        hr = E_FAIL;
    TraceLeaveResult(WSTR("CKsEnumFilters::EnumFilters"), hr);
    return hr;
}

CKsAudRenFilter* OpenDacRenderFilter(HRESULT* phr) {
    *phr = S_OK;
    CKsEnumFilters* enumerator = new CKsEnumFilters(phr);
    if (!enumerator) {
        *phr = E_OUTOFMEMORY;
        return nullptr;
    }
    if (SUCCEEDED(*phr)) {
        const GUID categories[] = {kKsCategoryAudio, kKsCategoryRender};
        *phr = enumerator->EnumFilters(FILTER_TYPE_AUDIO_RENDER, categories, 2, TRUE, FALSE, TRUE);
    }
    // Taken out of the enumerator, which then goes without taking the filter with it.
    CKsFilter* first = nullptr;
    if (SUCCEEDED(*phr))
        enumerator->m_listFilters.RemoveHead(&first);
    if (!first && SUCCEEDED(*phr))
        *phr = E_FAIL;
    delete enumerator;
    return static_cast<CKsAudRenFilter*>(first);
}

}  // namespace ferox
