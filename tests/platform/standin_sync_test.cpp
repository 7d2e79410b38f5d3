// Handles, events, waits and threads: the stand-in and Win32 (under Wine) must answer alike.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "support/win32_util.h"

namespace {

// Waits that must succeed are bounded all the same, so a fault fails the test instead of hanging.
constexpr DWORD kLong = 5000;

HANDLE Tagged(HANDLE h) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(h) | 1);
}

HANDLE NewEvent(bool manual, bool initial) {
    return CreateEventW(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr);
}

// A handle value that was valid and is closed now.
HANDLE ClosedHandle() {
    HANDLE h = NewEvent(false, false);
    CloseHandle(h);
    return h;
}

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

// Every test leaves as many handles open as it found.
class SyncTest : public ::testing::Test {
  protected:
    void SetUp() override { before_ = ferox::test::OpenHandleCount(); }
    void TearDown() override {
        if (before_) {
            EXPECT_EQ(*before_, *ferox::test::OpenHandleCount());
        }
    }

  private:
    std::optional<std::size_t> before_;
};

TEST_F(SyncTest, HandleValuesAreDistinctMultiplesOfFour) {
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
    for (HANDLE h : handles)
        EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SyncTest, CloseHandleFailsOnNullAndOnAClosedHandle) {
    HANDLE h = NewEvent(false, false);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(CloseHandle(h));

    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});

    SetLastError(0);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(SyncTest, CurrentProcessIsAPseudoHandleThatNeverSignals) {
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), DWORD{WAIT_TIMEOUT});
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));  // closing a pseudo handle does nothing
}

// The low bit marks an event for a synchronous request; the object is the same.
TEST_F(SyncTest, TaggedEventHandleReachesTheSameEvent) {
    HANDLE h = NewEvent(false, false);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(SetEvent(Tagged(h)));
    EXPECT_EQ(WaitForSingleObject(Tagged(h), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});  // consumed through the tag
    EXPECT_TRUE(CloseHandle(Tagged(h)));

    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(SyncTest, AutoResetEventIsConsumedByTheWaitThatReturnsIt) {
    HANDLE h = NewEvent(false, true);
    ASSERT_NE(h, nullptr);
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
}

TEST_F(SyncTest, ManualResetEventStaysSignalledUntilReset) {
    HANDLE h = NewEvent(true, false);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_TRUE(SetEvent(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), DWORD{WAIT_TIMEOUT});
    CloseHandle(h);
}

DWORD WINAPI ParkUntilSignalled(LPVOID event) {
    return WaitForSingleObject(static_cast<HANDLE>(event), kLong) == WAIT_OBJECT_0 ? 7 : 8;
}

TEST_F(SyncTest, EventCallsFailOnBadHandles) {
    HANDLE closed = ClosedHandle();
    SetLastError(0);
    EXPECT_FALSE(SetEvent(closed));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(closed));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(0);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});

    // A thread is waitable but is not an event.
    HANDLE release = NewEvent(true, false);
    HANDLE thread = CreateThread(nullptr, 0, ParkUntilSignalled, release, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(thread, kLong), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(release);
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

TEST_F(SyncTest, WaitOnABadHandleFails) {
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(ClosedHandle(), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

// The bad handle fails the whole wait, and the signalled event before it keeps its signal.
TEST_F(SyncTest, WaitForMultipleFailsOnABadHandleWithoutConsumingSignals) {
    HANDLE good = NewEvent(false, true);
    const HANDLE handles[] = {good, ClosedHandle()};
    for (BOOL all : {FALSE, TRUE}) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(2, handles, all, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    }
    EXPECT_EQ(WaitForSingleObject(good, 0), WAIT_OBJECT_0);
    CloseHandle(good);
}

TEST_F(SyncTest, WaitForMultipleRejectsNoHandlesAndMoreThan64) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS + 1; ++i)
        handles.push_back(NewEvent(true, true));
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, handles.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, handles.data(), FALSE, 0),
              WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    for (HANDLE h : handles)
        CloseHandle(h);
}

TEST_F(SyncTest, WaitForMultipleTakes64HandlesAndNamesTheSignalledOne) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i)
        handles.push_back(NewEvent(false, false));
    SetEvent(handles[63]);
    EXPECT_EQ(WaitForMultipleObjects(64, handles.data(), FALSE, 0), WAIT_OBJECT_0 + 63);
    EXPECT_EQ(WaitForMultipleObjects(64, handles.data(), FALSE, 0), DWORD{WAIT_TIMEOUT});
    for (HANDLE h : handles)
        CloseHandle(h);
}

TEST_F(SyncTest, WaitAnyReturnsTheLowestSignalledIndexAndConsumesOnlyThat) {
    HANDLE a = NewEvent(false, false);
    HANDLE b = NewEvent(false, false);
    HANDLE c = NewEvent(true, false);
    const HANDLE handles[] = {a, b, c};
    SetEvent(c);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);  // manual reset
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0);
    ResetEvent(c);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), DWORD{WAIT_TIMEOUT});
    for (HANDLE h : handles)
        CloseHandle(h);
}

TEST_F(SyncTest, WaitAllNeedsEverySignalAndTakesNoneUntilThen) {
    HANDLE a = NewEvent(false, false);
    HANDLE b = NewEvent(false, false);
    const HANDLE handles[] = {a, b};
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 20), DWORD{WAIT_TIMEOUT});
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), DWORD{WAIT_TIMEOUT});  // both auto-reset events taken
    EXPECT_EQ(WaitForSingleObject(b, 0), DWORD{WAIT_TIMEOUT});

    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // the partial wait left it signalled
    CloseHandle(a);
    CloseHandle(b);
}

// Windows refuses duplicates in a wait-all (STATUS_INVALID_PARAMETER_MIX); Wine 8 accepts them.
TEST_F(SyncTest, WaitAllRejectsTheSameObjectTwice) {
    HANDLE a = NewEvent(true, true);
    const HANDLE handles[] = {a, a};
    if (!ferox::test::RunningOnWine()) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0);  // wait-any takes it
    CloseHandle(a);
}

struct Pair {
    HANDLE first;
    HANDLE second;
};

DWORD WINAPI SignalBothLater(LPVOID arg) {
    auto* p = static_cast<Pair*>(arg);
    Sleep(20);
    SetEvent(p->first);
    Sleep(20);
    SetEvent(p->second);
    return 0;
}

TEST_F(SyncTest, WaitsWakeWhenAnotherThreadSignals) {
    Pair p{NewEvent(false, false), NewEvent(false, false)};
    const HANDLE handles[] = {p.first, p.second};
    HANDLE t = CreateThread(nullptr, 0, SignalBothLater, &p, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    CloseHandle(t);

    t = CreateThread(nullptr, 0, SignalBothLater, &p, 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(p.second, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(p.first);
    CloseHandle(p.second);
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
    HANDLE t = CreateThread(nullptr, 0, RecordIdAndWait, &probe, 0, &id);
    ASSERT_NE(t, nullptr);
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
    CloseHandle(mixed[0]);
    CloseHandle(t);
    CloseHandle(probe.release);
}

struct Detached {
    HANDLE release;
    HANDLE done;
};

DWORD WINAPI RunOnAfterDetach(LPVOID arg) {
    const Detached d = *static_cast<Detached*>(arg);
    if (WaitForSingleObject(d.release, kLong) == WAIT_OBJECT_0)
        SetEvent(d.done);
    return 0;
}

TEST_F(SyncTest, ClosingARunningThreadsHandleLetsItRunOn) {
    Detached d{NewEvent(true, false), NewEvent(true, false)};
    HANDLE t = CreateThread(nullptr, 0, RunOnAfterDetach, &d, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(CloseHandle(t));
    SetEvent(d.release);
    EXPECT_EQ(WaitForSingleObject(d.done, kLong), WAIT_OBJECT_0);
    CloseHandle(d.release);
    CloseHandle(d.done);
}

TEST_F(SyncTest, GetExitCodeThreadFailsOnBadHandles) {
    DWORD code = 1234;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(ClosedHandle(), &code));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(code, 1234u);

    HANDLE event = NewEvent(false, false);
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    CloseHandle(event);
}

DWORD WINAPI SetOwnError(LPVOID arg) {
    SetLastError(99);
    Sleep(10);
    *static_cast<DWORD*>(arg) = GetLastError();
    return 0;
}

TEST_F(SyncTest, LastErrorBelongsToItsThread) {
    SetLastError(1234);
    DWORD seen = 0;
    HANDLE t = CreateThread(nullptr, 0, SetOwnError, &seen, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    CloseHandle(t);
    EXPECT_EQ(seen, 99u);
    SetLastError(1234);
    EXPECT_EQ(GetLastError(), 1234u);
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

LONG volatile g_counter = 0;

DWORD WINAPI CountUp(LPVOID) {
    for (int i = 0; i < 20000; ++i)
        InterlockedIncrement(&g_counter);
    return 0;
}

TEST(SyncMisc, InterlockedOperations) {
    LONG volatile v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no match: unchanged
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
    v = 0;
    EXPECT_EQ(InterlockedDecrement(&v), -1);

    g_counter = 0;
    HANDLE threads[4];
    for (auto& t : threads)
        t = CreateThread(nullptr, 0, CountUp, nullptr, 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, kLong), WAIT_OBJECT_0);
    for (auto& t : threads)
        CloseHandle(t);
    EXPECT_EQ(g_counter, 80000);
}

}  // namespace
