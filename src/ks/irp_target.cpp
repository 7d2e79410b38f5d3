#include "ks/irp_target.h"

#include <cstring>

#include "common/trace.h"
#include "platform/device.h"

namespace ferox {

CKsIrpTarget::CKsIrpTarget(HANDLE handle) : m_handle(handle) {
    TraceEnter(WSTR("CKsIrpTarget::CKsIrpTarget()"));
    TraceLeave(WSTR("CKsIrpTarget::CKsIrpTarget()"));
}

HANDLE CKsIrpTarget::GetHandle() {
    TraceEnter(WSTR("CKsIrpTarget::GetHandle()"));
    TraceLeave(WSTR("CKsIrpTarget::GetHandle()"));
    return m_handle;
}

BOOL CKsIrpTarget::IsValidHandle(HANDLE handle) {
    TraceEnter(WSTR("CKsIrpTarget::IsValidHandle()"));
    const BOOL valid = handle != nullptr && handle != INVALID_HANDLE_VALUE;
    TraceLeave(WSTR("CKsIrpTarget::IsValidHandle()"));
    return valid;
}

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
    TraceEnter(WSTR("CKsIrpTarget::SafeCloseHandle()"));
    BOOL result = TRUE;
    if (IsValidHandle(handle)) {
        // Device handles and the platform's own alike: the seam tells them apart.
        result = Device().CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    TraceLeave(WSTR("CKsIrpTarget::SafeCloseHandle()"));
    return result;
}

namespace {

bool IsSizeQuery(ULONG ioctl, ULONG cbOut, DWORD error) {
    return ioctl == IOCTL_KS_PROPERTY && cbOut == 0 &&
           (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA);
}

}  // namespace

std::atomic<KsHeld*> CKsIrpTarget::m_heldBlocks{nullptr};

void CKsIrpTarget::LeaveToDevice(KsHeld* memory) {
    memory->nextHeld = m_heldBlocks.load();
    while (!m_heldBlocks.compare_exchange_weak(memory->nextHeld, memory)) {
    }
}

std::size_t CKsIrpTarget::HeldByDevice() {
    std::size_t n = 0;
    for (KsHeld* b = m_heldBlocks.load(); b != nullptr; b = b->nextHeld)
        ++n;
    return n;
}

namespace {

constexpr std::size_t RoundUp(std::size_t n) {
    return (n + 15) & ~std::size_t{15};
}

}  // namespace

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG ioctl, void* in, ULONG cbIn, void* out,
                                ULONG cbOut, ULONG* pcbReturned, KsIoBlock* block) {
    TraceEnter(WSTR("CKsIrpTarget::SyncIoctl()"));
    if (!IsValidHandle(handle)) {
        Trace(kTraceError, WSTR("CKsIrpTarget::SyncIoctl Invalid Handle"));
        TraceLeaveResult(WSTR("CKsIrpTarget::SyncIoctl"), E_FAIL);
        return E_FAIL;
    }
    ULONG privateCount = 0;
    if (pcbReturned == nullptr)
        pcbReturned = &privateCount;

    KsIoBlock* own = nullptr;
    void* sentIn = in;
    void* sentOut = out;
    if (block == nullptr) {
        const std::size_t inAt = RoundUp(sizeof(KsIoBlock));
        const std::size_t outAt = inAt + RoundUp(cbIn);
        auto* bytes = static_cast<BYTE*>(Allocate(outAt + cbOut));
        own = reinterpret_cast<KsIoBlock*>(bytes);
        if (own != nullptr) {
            std::memset(own, 0, sizeof(*own));
            own->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            if (own->event == nullptr) {
                Free(own);
                own = nullptr;
            }
        }
        if (own == nullptr) {
            Trace(kTraceError, WSTR("CKsIrpTarget::SyncIoctl no memory for the request"));
            TraceLeaveResult(WSTR("CKsIrpTarget::SyncIoctl"), E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        own->timeoutMs = kRequestTimeoutMs;
        // Null stays null: a size query has no output buffer.
        if (in != nullptr) {
            sentIn = bytes + inAt;
            std::memcpy(sentIn, in, cbIn);
        }
        if (out != nullptr) {
            sentOut = bytes + outAt;
            std::memcpy(sentOut, out, cbOut);
        }
        block = own;
    } else {
        // A completion at once signals the event too, and nothing waited for that one.
        ResetEvent(block->event);
    }
    HANDLE event = block->event;
    OVERLAPPED& overlapped = block->overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    // The low bit keeps the completion away from an I/O completion port bound to the handle.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);

    HRESULT hr = S_OK;
    DWORD returned = 0;
    if (Device().DeviceIoControl(handle, ioctl, sentIn, cbIn, sentOut, cbOut, &returned,
                                 &overlapped)) {
        *pcbReturned = returned;
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            // A wait that fails (rather than times out) is said so, then bounded as one that
            // timed out: the request may still be the device's.
            auto wait = [&] {
                const DWORD dwWait = WaitForSingleObject(event, block->timeoutMs);
                if (dwWait == WAIT_FAILED) {
                    Trace(kTraceError,
                          WSTR("CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x"),
                          dwWait);
                }
                return dwWait;
            };
            DWORD dwWait = wait();
            if (dwWait != WAIT_OBJECT_0) {
                Device().CancelIoEx(handle, &overlapped);
                dwWait = wait();
            }
            if (dwWait != WAIT_OBJECT_0) {
                // Whatever the device writes there later must land in memory nobody reuses.
                block->held = true;
                LeaveToDevice(block);
                Trace(kTraceError,
                      WSTR("CKsIrpTarget::SyncIoctl request 0x%08x left to the "
                           "device after %u ms and a cancel"),
                      ioctl, 2 * block->timeoutMs);
                hr = E_FAIL;
                *pcbReturned = 0;
            } else {
                // Judged by how it completed, as a request answered at once would be.
                DWORD transferred = 0;
                if (Device().GetOverlappedResult(handle, &overlapped, &transferred, FALSE)) {
                    *pcbReturned = transferred;
                } else if (IsSizeQuery(ioctl, cbOut, GetLastError())) {
                    *pcbReturned = transferred;
                } else {
                    hr = E_FAIL;
                    *pcbReturned = 0;
                }
            }
        } else if (IsSizeQuery(ioctl, cbOut, error)) {
            *pcbReturned = returned;
        } else {
            hr = E_FAIL;
            *pcbReturned = 0;
        }
    }
    if (own != nullptr && !own->held) {
        if (sentOut != out)
            std::memcpy(out, sentOut, cbOut);
        SafeCloseHandle(own->event);
        Free(own);
    }
    TraceLeaveResult(WSTR("CKsIrpTarget::SyncIoctl"), hr);
    return hr;
}

HRESULT CKsIrpTarget::PropertySimple(ULONG flags, const GUID& set, ULONG id, void* value,
                                     ULONG cbValue, const void* extra, ULONG cbExtra) {
    const ULONG cbRequest = sizeof(KSPROPERTY) + cbExtra;
    auto* request = static_cast<BYTE*>(Allocate(cbRequest));
    if (request == nullptr)
        return E_OUTOFMEMORY;
    KSPROPERTY property;
    std::memset(&property, 0, sizeof(property));
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    std::memcpy(request, &property, sizeof(property));
    if (extra != nullptr && cbExtra != 0)
        std::memcpy(request + sizeof(property), extra, cbExtra);
    const HRESULT hr =
        SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, cbRequest, value, cbValue, nullptr);
    Free(request);
    return hr;
}

HRESULT CKsIrpTarget::GetPropertySimple(const GUID& set, ULONG id, void* value, ULONG cbValue,
                                        const void* extra, ULONG cbExtra) {
    TraceEnter(WSTR("CKsIrpTarget::GetPropertySimple()"));
    const HRESULT hr = PropertySimple(KSPROPERTY_TYPE_GET, set, id, value, cbValue, extra, cbExtra);
    TraceLeaveResult(WSTR("CKsIrpTarget::GetPropertySimple"), hr);
    return hr;
}

HRESULT CKsIrpTarget::SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG cbValue,
                                        const void* extra, ULONG cbExtra) {
    TraceEnter(WSTR("CKsIrpTarget::SetPropertySimple()"));
    const HRESULT hr = PropertySimple(KSPROPERTY_TYPE_SET, set, id, value, cbValue, extra, cbExtra);
    TraceLeaveResult(WSTR("CKsIrpTarget::SetPropertySimple"), hr);
    return hr;
}

HRESULT CKsIrpTarget::GetPropertyMulti(const GUID& set, ULONG id, KSMULTIPLE_ITEM** ppItems,
                                       ULONG* pcbValid) {
    TraceEnter(WSTR("CKsIrpTarget::GetPropertyMulti()"));
    if (pcbValid != nullptr)
        *pcbValid = 0;
    KSPROPERTY property;
    std::memset(&property, 0, sizeof(property));
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;

    ULONG cb = 0;
    HRESULT hr =
        SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof(property), nullptr, 0, &cb);
    if (SUCCEEDED(hr) && cb != 0) {
        *ppItems = static_cast<KSMULTIPLE_ITEM*>(Allocate(cb));
        if (*ppItems == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            std::memset(*ppItems, 0, cb);
            ULONG delivered = 0;
            hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof(property), *ppItems, cb,
                           &delivered);
            if (SUCCEEDED(hr) && pcbValid != nullptr)
                *pcbValid = delivered < cb ? delivered : cb;
        }
    }
    TraceLeaveResult(WSTR("CKsIrpTarget::GetPropertyMulti"), hr);
    return hr;
}

}  // namespace ferox
