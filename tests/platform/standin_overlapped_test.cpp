// GetOverlappedResult over hand-filled OVERLAPPED records, and the status-to-error table.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"

namespace {

constexpr DWORD kLong = 5000;

// NTSTATUS values; the Windows headers do not define all of them next to windows.h.
constexpr ULONG kSuccess = 0x00000000;
constexpr ULONG kPending = 0x00000103;
constexpr ULONG kBufferOverflow = 0x80000005;
constexpr ULONG kNoMatch = 0xC0000272;
constexpr ULONG kCancelled = 0xC0000120;

using StatusToError = ULONG(WINAPI*)(LONG);

StatusToError RtlStatusToError() {
#ifdef _WIN32
    return reinterpret_cast<StatusToError>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
#else
    return [](LONG status) -> ULONG { return RtlNtStatusToDosError(status); };
#endif
}

OVERLAPPED Record(ULONG status, ULONG_PTR bytes, HANDLE event = nullptr) {
    OVERLAPPED ov{};
    ov.Internal = status;
    ov.InternalHigh = bytes;
    ov.hEvent = event;
    return ov;
}

HANDLE Tagged(HANDLE h) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(h) | 1);
}

TEST(OverlappedResult, CompletedRequestReportsItsBytes) {
    OVERLAPPED ov = Record(kSuccess, 48);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(nullptr, &ov, &n, FALSE));
    EXPECT_EQ(n, 48u);
    n = 0;
    EXPECT_TRUE(GetOverlappedResult(nullptr, &ov, &n, TRUE));  // nothing to wait for
    EXPECT_EQ(n, 48u);
}

TEST(OverlappedResult, WarningAndErrorStatusesFailWithTheirErrorAndStillReportBytes) {
    struct Case {
        ULONG status;
        DWORD error;
    };
    for (const Case c : {Case{kBufferOverflow, ERROR_MORE_DATA}, Case{kNoMatch, ERROR_NO_MATCH},
                         Case{kCancelled, ERROR_OPERATION_ABORTED}}) {
        OVERLAPPED ov = Record(c.status, 120);
        DWORD n = 0;
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &n, FALSE)) << std::hex << c.status;
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(n, 120u) << std::hex << c.status;
    }
}

TEST(OverlappedResult, PendingWithoutWaitIsIncomplete) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov = Record(kPending, 0, event);
    DWORD n = 77;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE});
    EXPECT_EQ(n, 77u);
    CloseHandle(event);
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

TEST(OverlappedResult, WaitUsesTheTaggedEventAndReturnsTheCompletion) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov = Record(kPending, 0, Tagged(event));
    Completion c{&ov, event, kSuccess, 16384};
    HANDLE t = CreateThread(nullptr, 0, CompleteLater, &c, 0, nullptr);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(nullptr, &ov, &n, TRUE));
    EXPECT_EQ(n, 16384u);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(event);
}

TEST(OverlappedResult, WaitReportsAFailedCompletion) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov = Record(kPending, 0, event);
    Completion c{&ov, event, kBufferOverflow, 8};
    HANDLE t = CreateThread(nullptr, 0, CompleteLater, &c, 0, nullptr);
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(event);
}

// Without an event the wait is on the file handle; any waitable object serves here.
TEST(OverlappedResult, WithoutAnEventTheFileHandleIsWaitedOn) {
    HANDLE file = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov = Record(kPending, 0);
    Completion c{&ov, file, kSuccess, 4};
    HANDLE t = CreateThread(nullptr, 0, CompleteLater, &c, 0, nullptr);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(file, &ov, &n, TRUE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(file);
}

TEST(OverlappedResult, WaitOnABadEventFails) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(event);
    OVERLAPPED ov = Record(kPending, 0, event);
    DWORD n = 5;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(n, 5u);
}

TEST(StatusToError, MapsTheStatusesOfKernelStreaming) {
    struct Case {
        ULONG status;
        ULONG error;
    };
    const Case cases[] = {
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
    const StatusToError toError = RtlStatusToError();
    ASSERT_NE(toError, nullptr);
    for (const Case& c : cases) {
        EXPECT_EQ(toError(static_cast<LONG>(c.status)), c.error) << std::hex << c.status;
    }
}

}  // namespace
