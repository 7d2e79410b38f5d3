// GetOverlappedResult over hand-filled OVERLAPPED records, and the status-to-error table.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"
#include "support/win32_util.h"

namespace {

// NTSTATUS values; the Windows headers do not define all of them next to windows.h.
constexpr ULONG kSuccess = 0x00000000;
constexpr ULONG kPending = 0x00000103;
constexpr ULONG kBufferOverflow = 0x80000005;

OVERLAPPED Record(ULONG status, ULONG_PTR bytes, HANDLE event = nullptr) {
    OVERLAPPED ov{};
    ov.Internal = status;
    ov.InternalHigh = bytes;
    ov.hEvent = event;
    return ov;
}

TEST(OverlappedResult, CompletedRequestsReportBytesAndTheirStatusAsError) {
    struct Case {
        ULONG status;
        DWORD error;  // 0: success
    };
    for (const Case c :
         {Case{kSuccess, 0}, Case{kBufferOverflow, ERROR_MORE_DATA},
          Case{0xC0000272, ERROR_NO_MATCH}, Case{0xC0000120, ERROR_OPERATION_ABORTED}}) {
        for (BOOL wait : {FALSE, TRUE}) {  // nothing to wait for
            OVERLAPPED ov = Record(c.status, 120);
            DWORD n = 0;
            SetLastError(0);
            EXPECT_EQ(GetOverlappedResult(nullptr, &ov, &n, wait), c.error == 0) << c.status;
            EXPECT_EQ(GetLastError(), c.error) << c.status;
            EXPECT_EQ(n, 120u) << c.status;
        }
    }
}

TEST(OverlappedResult, PendingFailsWithoutWaitAndOnABadEvent) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov = Record(kPending, 0, event);
    DWORD n = 77;
    EXPECT_FAILS_WITH(GetOverlappedResult(nullptr, &ov, &n, FALSE), FALSE, ERROR_IO_INCOMPLETE);
    CloseHandle(event);
    EXPECT_FAILS_WITH(GetOverlappedResult(nullptr, &ov, &n, TRUE), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 77u);
}

struct Completion {
    OVERLAPPED* ov;
    HANDLE signal;  // the event to set once the record is complete
    ULONG status;
    ULONG_PTR bytes;
};

// Completes the request as a driver would: byte count and status first, then the event.
DWORD WINAPI CompleteLater(LPVOID arg) {
    const Completion c = *static_cast<Completion*>(arg);
    Sleep(30);
    std::atomic_ref<ULONG_PTR>(c.ov->InternalHigh).store(c.bytes);
    std::atomic_ref<ULONG_PTR>(c.ov->Internal).store(c.status);
    SetEvent(c.signal);
    return 0;
}

// The wait is on the event, also when tagged for a synchronous request, and without an event on
// the file handle (any waitable object serves here).
TEST(OverlappedResult, WaitReturnsTheCompletion) {
    enum class Via { Event, TaggedEvent, File };
    for (Via via : {Via::Event, Via::TaggedEvent, Via::File}) {
        for (ULONG status : {kSuccess, kBufferOverflow}) {
            HANDLE event = ferox::test::NewEvent(false, false);
            const auto tagged = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
            OVERLAPPED ov = Record(kPending, 0,
                                   via == Via::File    ? nullptr
                                   : via == Via::Event ? event
                                                       : tagged);
            Completion c{&ov, event, status, 16384};
            HANDLE t = ferox::test::Start(CompleteLater, &c);
            DWORD n = 0;
            SetLastError(0);
            HANDLE file = via == Via::File ? event : nullptr;
            EXPECT_EQ(GetOverlappedResult(file, &ov, &n, TRUE), status == kSuccess);
            EXPECT_EQ(GetLastError(), status == kSuccess ? 0u : DWORD{ERROR_MORE_DATA});
            EXPECT_EQ(n, 16384u);
            ferox::test::Join(t);
            CloseHandle(event);
        }
    }
}

using StatusToError = ULONG(WINAPI*)(LONG);

TEST(StatusToError, MapsTheStatusesOfKernelStreaming) {
#ifdef _WIN32
    const auto toError = reinterpret_cast<StatusToError>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    ASSERT_NE(toError, nullptr);
#else
    const StatusToError toError = [](LONG status) -> ULONG {
        return RtlNtStatusToDosError(status);
    };
#endif
    const ULONG cases[][2] = {
        {0x00000000, ERROR_SUCCESS},
        {0x00000103, ERROR_IO_PENDING},
        {0x80000005, ERROR_MORE_DATA},
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
        {0xC0000272, ERROR_NO_MATCH},
        {0xC000000D, ERROR_INVALID_PARAMETER},
        {0xC0000010, ERROR_INVALID_FUNCTION},
        {0xC0000002, ERROR_INVALID_FUNCTION},
        {0xC00000BB, ERROR_NOT_SUPPORTED},
        {0xC0000225, ERROR_NOT_FOUND},
        {0xC0000230, ERROR_SET_NOT_FOUND},
        {0xC0000206, ERROR_INVALID_USER_BUFFER},
        {0xC0000184, ERROR_BAD_COMMAND},
        {0xC0000120, ERROR_OPERATION_ABORTED},
        {0xC000009A, 1450},  // ERROR_INSUFFICIENT_RESOURCES, which mingw-w64 does not define
        {0xC000003A, ERROR_PATH_NOT_FOUND},
        {0xC0000022, ERROR_ACCESS_DENIED},
        {0xC0000008, ERROR_INVALID_HANDLE},
        {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},
        {0xC0000001, ERROR_GEN_FAILURE},
        {0xC0000043, ERROR_SHARING_VIOLATION},
        {0x80071234, 0x1234},  // a Win32 code wrapped as an HRESULT
        {0xC0071234, 0x1234},  // and as an NTSTATUS
        {0xC0FF0001, 317},     // no mapping: ERROR_MR_MID_NOT_FOUND
    };
    for (const auto& c : cases)
        EXPECT_EQ(toError(static_cast<LONG>(c[0])), c[1]) << std::hex << c[0];
}

}  // namespace
