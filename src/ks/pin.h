// One pin type of a device filter and, once instantiated, one pin instance on the device:
// its descriptor read through the filter, creation with KsCreatePin, state, write-stream
// requests, the vendor mode request and closing.
#pragma once

#include "ks/irp_target.h"

namespace ferox {

class CKsFilter;

// ksuser.dll and its KsCreatePin, loaded on first use and kept for the life of the process.
struct KsUserLibrary {
    static HMODULE m_hModule;
    static FARPROC m_pfnKsCreatePin;
    // Loads the library and resolves KsCreatePin: ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND.
    static DWORD Load();
    // A Windows error code, as KsCreatePin answers; ERROR_FILE_NOT_FOUND without the library.
    static DWORD CreatePin(HANDLE filter, KSPIN_CONNECT* connect, ACCESS_MASK access,
                           HANDLE* pinHandle);
    // Test control: forgets the library, as at process start.
    static void Forget();
};

// What Init reads of the pin type. Counts never claim more items than their reply holds.
struct KsPinDescriptor {
    ULONG cInterfaces;
    const KSPIN_INTERFACE* pInterfaces;
    ULONG cMediums;
    const KSPIN_MEDIUM* pMediums;
    ULONG cDataRanges;
    const KSDATARANGE* pDataRanges;
    ULONG cbDataRanges;  // bytes of the data-range reply from pDataRanges on
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    KSPIN_CINSTANCES CInstances;
    KSPIN_CINSTANCES CInstancesGlobal;
    KSMULTIPLE_ITEM* m_pmiDataRanges;
    KSMULTIPLE_ITEM* m_pmiMediums;
    KSMULTIPLE_ITEM* m_pmiInterfaces;
};

inline constexpr ULONG kVendorRequestBytes = 264;
// How long the device may take over the vendor request, and again over its cancellation.
inline constexpr DWORD kVendorRequestTimeoutMs = 1000;
inline constexpr ULONG kPinNameChars = 260;

class CKsPin : public CKsIrpTarget {
  public:
    FEROX_HEAP_OBJECT
    // *phr: S_OK, or S_FALSE when some property of the pin type could not be read.
    CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    virtual ~CKsPin();

    virtual HRESULT Instantiate(BOOL looped);
    virtual HRESULT SetState(KSSTATE state);

    HRESULT Init();
    HRESULT WriteData(KSSTREAM_HEADER* pHeader, OVERLAPPED* pOverlapped);
    // Stops the pin (unless told it was stopped already) and closes its handle; each step is
    // bounded, whatever the device does.
    void ClosePin(bool stopFirst = true);
    HRESULT GetDataFlow(KSPIN_DATAFLOW* pFlow);
    HRESULT GetCommunication(KSPIN_COMMUNICATION* pComm);
    // S_OK when the device took the mode; E_FAIL when it refused it or did not answer in time,
    // E_OUTOFMEMORY when the request could not be set up.
    HRESULT SetVendorMode(ULONG mode);

    KSPIN_CONNECT* m_pksPinCreate;
    ULONG m_cbPinCreate;
    ULONG m_nId;
    CKsFilter* m_pFilter;
    GUID m_guidCategory;
    KsPinDescriptor m_Descriptor;
    ULONG m_nPinType;
    BYTE m_vendorRequest[kVendorRequestBytes];
    KSSTATE m_ksState;
    WCHAR m_szFriendlyName[kPinNameChars];
    KsIoBlock* m_pVendorIo;  // made on the first vendor request, reused for the later ones
};

}  // namespace ferox
