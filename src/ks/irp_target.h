// The base of every kernel-streaming object that owns a handle to the device's KS driver:
// handle validity, safe closing, synchronous requests over overlapped handles and the KS
// property reads and writes built on them.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/alloc.h"
#include "platform/ks.h"
#include "platform/platform.h"

namespace ferox {

// Memory a request the device would not give back may still be written to: left to the device
// for good, kept allocated and reachable, never used again. The link comes first in the block.
struct KsHeld {
    KsHeld* nextHeld;
};

// How long the device may take over a request, and again over its cancellation.
inline constexpr DWORD kRequestTimeoutMs = 1000;

// A request's OVERLAPPED and event kept off the caller's stack, with a bound on the wait. A
// request the device still holds after the bound and a cancel may still be written to: the
// block is then left to the device for good (`held`) and must not be used or freed again.
struct KsIoBlock : KsHeld {
    OVERLAPPED overlapped;
    HANDLE event;  // auto-reset
    DWORD timeoutMs;
    bool held;
};

class CKsIrpTarget {
  public:
    explicit CKsIrpTarget(HANDLE handle);

    HANDLE GetHandle();

    static BOOL IsValidHandle(HANDLE handle);
    // TRUE when nothing had to be closed, else what CloseHandle answered; the variable is left
    // INVALID_HANDLE_VALUE after a close.
    static BOOL SafeCloseHandle(HANDLE& handle);

    // Waits for the request when it goes pending and judges it by its completion. A size query
    // (IOCTL_KS_PROPERTY without an output buffer) answered ERROR_MORE_DATA or
    // ERROR_INSUFFICIENT_BUFFER succeeds with the reported size; every other failure is E_FAIL
    // with 0 bytes.
    // Every wait is bounded: kRequestTimeoutMs, then a cancel and as long again. Without
    // `block` the request travels in a record of its own with copies of both buffers, which
    // the device may use in place (KS requests do); E_OUTOFMEMORY when none can be made. With
    // `block`, the request uses its record, event and timeout; only for requests whose buffers
    // the system copies when it takes them (METHOD_BUFFERED), since a request left to the
    // device keeps only the block.
    static HRESULT SyncIoctl(HANDLE handle, ULONG ioctl, void* in, ULONG cbIn, void* out,
                             ULONG cbOut, ULONG* pcbReturned, KsIoBlock* block = nullptr);
    // Leaves memory to the device for good (allocated with ferox::Allocate, its link first).
    static void LeaveToDevice(KsHeld* memory);
    // Blocks left to the device since the process started (they stay allocated).
    static std::size_t HeldByDevice();

    HRESULT GetPropertySimple(const GUID& set, ULONG id, void* value, ULONG cbValue,
                              const void* extra, ULONG cbExtra);
    // The caller owns *ppItems (free it with ferox::Free); it is left untouched when the size
    // query fails or reports 0 bytes. *pcbValid, when given, receives the bytes the read
    // delivered into the zero-filled block (0 when it failed).
    HRESULT GetPropertyMulti(const GUID& set, ULONG id, KSMULTIPLE_ITEM** ppItems,
                             ULONG* pcbValid = nullptr);
    HRESULT SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG cbValue,
                              const void* extra, ULONG cbExtra);

  protected:
    HANDLE m_handle;

  private:
    static std::atomic<KsHeld*> m_heldBlocks;  // kept reachable: deliberately never freed
    HRESULT PropertySimple(ULONG flags, const GUID& set, ULONG id, void* value, ULONG cbValue,
                           const void* extra, ULONG cbExtra);
};

}  // namespace ferox
