// Handles, events, waits and threads: the stand-in and Win32 (under Wine) must answer alike.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "support/win32_util.h"

namespace {

using namespace ferox::test;

constexpr DWORD kLong = kLongWait;

HANDLE Tagged(HANDLE h) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(h) | 1);
}

// A handle value that was valid and is closed now.
HANDLE ClosedHandle() {
    HANDLE h = NewEvent(false, false);
    CloseHandle(h);
    return h;
}

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - since).count();
}

using SyncTest = LeakCheckedTest;

// Waits for pair[0], then sets pair[1].
DWORD WINAPI RunOnAfterDetach(LPVOID arg) {
    const HANDLE release = static_cast<HANDLE*>(arg)[0], done = static_cast<HANDLE*>(arg)[1];
    if (WaitForSingleObject(release, kLong) == WAIT_OBJECT_0)
        SetEvent(done);
    return 0;
}

TEST_F(SyncTest, HandlesAreDistinctMultiplesOfFourAndBadOnesFailEveryCall) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < 16; ++i) {
        HANDLE h = NewEvent(false, false);
        ASSERT_NE(h, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(h) & 3, 0u);
        for (HANDLE other : handles)
            EXPECT_NE(h, other);
        handles.push_back(h);
    }
    CloseAll(handles);

    // The current process is a pseudo handle that never signals and that closing leaves alone.
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), DWORD{WAIT_TIMEOUT});
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));

    for (HANDLE bad : {ClosedHandle(), HANDLE{nullptr}}) {
        EXPECT_FAILS_WITH(CloseHandle(bad), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(SetEvent(bad), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(ResetEvent(bad), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(WaitForSingleObject(bad, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
        DWORD code = 1234;
        EXPECT_FAILS_WITH(GetExitCodeThread(bad, &code), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_EQ(code, 1234u);
    }

    // A thread is waitable but is not an event, and an event is not a thread.
    HANDLE pair[] = {NewEvent(true, false), NewEvent(true, false)};
    HANDLE thread = Start(RunOnAfterDetach, pair);
    EXPECT_FAILS_WITH(SetEvent(thread), FALSE, ERROR_INVALID_HANDLE);
    DWORD code = 0;
    EXPECT_FAILS_WITH(GetExitCodeThread(pair[0], &code), FALSE, ERROR_INVALID_HANDLE);
    SetEvent(pair[0]);
    Join(thread);
    CloseAll({pair[0], pair[1]});
}

// The low bit marks an event for a synchronous request; the object is the same.
TEST_F(SyncTest, TaggedEventHandleReachesTheSameEvent) {
    HANDLE h = NewEvent(false, false);
    EXPECT_TRUE(SetEvent(Tagged(h)));
    EXPECT_EQ(WaitForSingleObject(Tagged(h), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});  // consumed through the tag
    EXPECT_TRUE(CloseHandle(Tagged(h)));
    EXPECT_FAILS_WITH(WaitForSingleObject(h, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
}

TEST_F(SyncTest, AutoResetEventsAreConsumedManualOnesStayUntilReset) {
    HANDLE h = NewEvent(false, true);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_TRUE(SetEvent(h));
    EXPECT_TRUE(SetEvent(h));  // signals do not add up
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_TRUE(SetEvent(h));
    EXPECT_TRUE(ResetEvent(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});
    CloseHandle(h);

    h = NewEvent(true, false);
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_TRUE(SetEvent(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});
    CloseHandle(h);
}

TEST_F(SyncTest, WaitTimesOutAfterItsTime) {
    HANDLE h = NewEvent(false, false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(h, 60), DWORD{WAIT_TIMEOUT});
    EXPECT_GE(ElapsedMs(start), 40);  // Windows' timer tick may shorten a wait a little
    const HANDLE two[] = {h, h};
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 30), DWORD{WAIT_TIMEOUT});
    CloseHandle(h);
}

TEST_F(SyncTest, WaitForMultipleRejectsBadArguments) {
    // The bad handle fails the whole wait, and the signalled event before it keeps its signal.
    HANDLE good = NewEvent(false, true);
    const HANDLE pair[] = {good, ClosedHandle()};
    for (BOOL all : {FALSE, TRUE})
        EXPECT_FAILS_WITH(WaitForMultipleObjects(2, pair, all, 0), WAIT_FAILED,
                          ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(good, 0), WAIT_OBJECT_0);
    CloseHandle(good);

    std::vector<HANDLE> many;
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS + 1; ++i)
        many.push_back(NewEvent(true, true));
    EXPECT_FAILS_WITH(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED,
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0),
                      WAIT_FAILED, ERROR_INVALID_PARAMETER);

    // Windows refuses duplicates in a wait-all (STATUS_INVALID_PARAMETER_MIX); Wine 8 accepts
    // them. Wait-any takes them.
    const HANDLE twice[] = {many[0], many[0]};
    if (!ferox::test::RunningOnWine())
        EXPECT_FAILS_WITH(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED,
                          ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
    CloseAll(many);
}

TEST_F(SyncTest, WaitAnyReturnsTheLowestSignalledIndexAndConsumesOnlyThat) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i)
        handles.push_back(NewEvent(false, false));
    SetEvent(handles[63]);
    EXPECT_EQ(WaitForMultipleObjects(64, handles.data(), FALSE, 0), WAIT_OBJECT_0 + 63);
    EXPECT_EQ(WaitForMultipleObjects(64, handles.data(), FALSE, 0), DWORD{WAIT_TIMEOUT});
    CloseAll(handles);

    const HANDLE abc[] = {NewEvent(false, false), NewEvent(false, false), NewEvent(true, false)};
    SetEvent(abc[2]);
    SetEvent(abc[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), WAIT_OBJECT_0 + 2);  // manual reset
    SetEvent(abc[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), WAIT_OBJECT_0);
    ResetEvent(abc[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, abc, FALSE, 0), DWORD{WAIT_TIMEOUT});
    CloseAll({abc[0], abc[1], abc[2]});
}

TEST_F(SyncTest, WaitAllNeedsEverySignalAndTakesNoneUntilThen) {
    const HANDLE ab[] = {NewEvent(false, false), NewEvent(false, false)};
    SetEvent(ab[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, ab, TRUE, 20), DWORD{WAIT_TIMEOUT});
    SetEvent(ab[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, ab, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ab[0], 0), DWORD{WAIT_TIMEOUT});  // both taken
    EXPECT_EQ(WaitForSingleObject(ab[1], 0), DWORD{WAIT_TIMEOUT});
    SetEvent(ab[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, ab, TRUE, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_EQ(WaitForSingleObject(ab[0], 0), WAIT_OBJECT_0);  // the partial wait left it signalled
    CloseAll({ab[0], ab[1]});
}

DWORD WINAPI SignalBothLater(LPVOID arg) {
    const HANDLE* pair = static_cast<const HANDLE*>(arg);
    Sleep(20);
    SetEvent(pair[0]);
    Sleep(20);
    SetEvent(pair[1]);
    return 0;
}

TEST_F(SyncTest, WaitsWakeWhenAnotherThreadSignals) {
    HANDLE pair[] = {NewEvent(false, false), NewEvent(false, false)};
    HANDLE t = Start(SignalBothLater, pair);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, TRUE, kLong), WAIT_OBJECT_0);
    Join(t);
    t = Start(SignalBothLater, pair);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(pair[1], kLong), WAIT_OBJECT_0);
    Join(t);
    CloseAll({pair[0], pair[1]});
}

struct ThreadProbe {
    HANDLE release;
    std::atomic<DWORD> seenId{0};
};

DWORD WINAPI RecordIdAndWait(LPVOID arg) {
    auto* probe = static_cast<ThreadProbe*>(arg);
    probe->seenId = GetCurrentThreadId();
    return WaitForSingleObject(probe->release, kLong) == WAIT_OBJECT_0 ? 42 : 43;
}

TEST_F(SyncTest, ThreadRunsAtOnceAndItsHandleSignalsWhenItReturns) {
    ThreadProbe probe;
    probe.release = NewEvent(true, false);
    DWORD id = 0;
    HANDLE t = Start(RecordIdAndWait, &probe, &id);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, DWORD{STILL_ACTIVE});
    EXPECT_EQ(WaitForSingleObject(t, 30), DWORD{WAIT_TIMEOUT});

    SetEvent(probe.release);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(probe.seenId.load(), id);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // an ended thread stays signalled
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    // A thread and an event in one wait: the ended thread answers.
    const HANDLE mixed[] = {NewEvent(false, false), t};
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0 + 1);
    CloseAll({mixed[0], t, probe.release});
}

// A thread runs on after its handle is closed.
TEST_F(SyncTest, ClosingARunningThreadsHandleLetsItRunOn) {
    HANDLE pair[] = {NewEvent(true, false), NewEvent(true, false)};
    EXPECT_TRUE(CloseHandle(Start(RunOnAfterDetach, pair)));
    SetEvent(pair[0]);
    EXPECT_EQ(WaitForSingleObject(pair[1], kLong), WAIT_OBJECT_0);
    CloseAll({pair[0], pair[1]});
}

DWORD WINAPI SetOwnError(LPVOID arg) {
    SetLastError(99);
    Sleep(10);
    *static_cast<DWORD*>(arg) = GetLastError();
    return 0;
}

LONG volatile g_counter = 0;

DWORD WINAPI CountUp(LPVOID) {
    for (int i = 0; i < 20000; ++i)
        InterlockedIncrement(&g_counter);
    return 0;
}

TEST_F(SyncTest, LastErrorBelongsToItsThreadAndInterlockedCountsAreExact) {
    SetLastError(1234);
    DWORD seen = 0;
    Join(Start(SetOwnError, &seen));
    EXPECT_EQ(seen, 99u);
    EXPECT_EQ(GetLastError(), 1234u);

    LONG volatile v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no match: unchanged
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
    v = 0;
    EXPECT_EQ(InterlockedDecrement(&v), -1);

    g_counter = 0;
    HANDLE threads[4];
    for (auto& t : threads)
        t = Start(CountUp, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, kLong), WAIT_OBJECT_0);
    CloseAll({threads[0], threads[1], threads[2], threads[3]});
    EXPECT_EQ(g_counter, 80000);
}

TEST(SyncMisc, SleepAndTimeGetTimeAdvanceTogether) {
    const DWORD t0 = timeGetTime();
    const auto start = std::chrono::steady_clock::now();
    Sleep(50);
    const DWORD elapsed = timeGetTime() - t0;  // wraps correctly in 32 bits
    EXPECT_GE(ElapsedMs(start), 40);
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
}

}  // namespace
