// One KS filter of the device, named by its device interface path: opening it, reading pin-type
// properties over its handle, its pins (one per pin type, classified by data flow and
// communication) and its topology nodes. It owns its pins and nodes.
#pragma once

#include "ks/irp_target.h"
#include "ks/list.h"

namespace ferox {

class CKsPin;

// A device path of at most 259 characters and its terminator.
inline constexpr ULONG kFilterNameChars = 260;

class CKsNode {
  public:
    FEROX_HEAP_OBJECT
    CKsNode(ULONG nId, const GUID* pType, HRESULT* phr);

    ULONG m_nId;
    GUID m_guidType;
};

class CKsFilter : public CKsIrpTarget {
  public:
    FEROX_HEAP_OBJECT
    // E_INVALIDARG for a null path or one that does not fit m_szFilterName.
    CKsFilter(const WCHAR* pszName, HRESULT* phr);
    virtual ~CKsFilter();

    virtual HRESULT Instantiate();
    virtual HRESULT EnumerateNodes();
    virtual HRESULT EnumeratePins();
    virtual HRESULT DestroyLists();

    HRESULT InternalInit();
    HRESULT GetPinPropertySimple(ULONG nPinId, const GUID& set, ULONG id, void* value,
                                 ULONG cbValue);
    // The caller owns *ppItems (ferox::Free), whatever the result; the block is zero-filled
    // before the read. *pcbValid, when given, receives the bytes the read delivered (0 when it
    // failed).
    HRESULT GetPinPropertyMulti(ULONG nPinId, const GUID& set, ULONG id, KSMULTIPLE_ITEM** ppItems,
                                ULONG* pcbValid = nullptr);
    HRESULT ClassifyPins();

    TList<CKsNode> m_listNodes;
    TList<CKsPin> m_listPins;
    TList<CKsPin> m_listRenderSinkPins;
    TList<CKsPin> m_listRenderSourcePins;
    TList<CKsPin> m_listCaptureSinkPins;
    TList<CKsPin> m_listCaptureSourcePins;
    TList<CKsPin> m_listNoCommPins;
    ULONG m_nFilterType;
    WCHAR m_szFilterName[kFilterNameChars];

  protected:
    void EmptyNodes();
};

}  // namespace ferox
