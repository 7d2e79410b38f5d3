// Finds the kernel-streaming filters of our DAC among the machine's device interfaces.
#pragma once

#include "ks/filter.h"
#include "ks/list.h"

namespace ferox {

enum FilterType : ULONG {
    FILTER_TYPE_GENERIC = 0,
    FILTER_TYPE_AUDIO_RENDER = 1,
    FILTER_TYPE_AUDIO_CAPTURE = 2,
};

// The DAC's hardware identifier; every interface of the DAC has an instance id beginning so.
inline constexpr const WCHAR* kDacHardwareId = WSTR("USB\\VID_5A4E&PID_0C31");

class CKsAudRenFilter;

class CKsEnumFilters {
  public:
    FEROX_HEAP_OBJECT
    explicit CKsEnumFilters(HRESULT* phr);
    virtual ~CKsEnumFilters();
    CKsEnumFilters(const CKsEnumFilters&) = delete;
    CKsEnumFilters& operator=(const CKsEnumFilters&) = delete;

    // Lists a filter for every interface of categories[0] whose instance id belongs to the DAC
    // and that is registered, and active, under every further category too. S_OK when at least
    // one filter is listed.
    HRESULT EnumFilters(FilterType filterType, const GUID* categories, ULONG count, BOOL enumPins,
                        BOOL enumNodes, BOOL instantiate);
    virtual HRESULT DestroyLists();

    // Owned: whoever takes a filter out with RemoveHead owns it from then on.
    TList<CKsFilter> m_listFilters;
};

// The DAC's render filter, open with its pins, owned by the caller: the first active audio
// render interface of the DAC. Null when none could be had, with *phr the reason.
CKsAudRenFilter* OpenDacRenderFilter(HRESULT* phr);

}  // namespace ferox
