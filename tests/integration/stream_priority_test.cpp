// The streaming thread's priority: MMCSS "Pro Audio" when avrt.dll takes it, time-critical
// otherwise, and back to where it was before the thread ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/trace.h"
#include "integration/test_host.h"
#include "ks/pin.h"
#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace ferox::test {
namespace {

std::vector<std::basic_string<WCHAR>>& Lines() {
    static std::vector<std::basic_string<WCHAR>> lines;
    return lines;
}
void Collect(int, const WCHAR* line) {
    Lines().emplace_back(line);
}
bool Traced(const char* text) {
    const std::basic_string<WCHAR> wanted(text, text + std::char_traits<char>::length(text));
    for (const auto& l : Lines()) {
        if (l.find(wanted) != std::basic_string<WCHAR>::npos)
            return true;
    }
    return false;
}

class PriorityTest : public DriverStreamTest {
  protected:
    void SetUp() override {
        DriverStreamTest::SetUp();
        Lines().clear();
        SetTraceLevel(kTraceNotice);
        trace_test::SetSink(&Collect);
    }
    void TearDown() override {
        trace_test::SetSink(nullptr);
        SetTraceLevel(0);
        DriverStreamTest::TearDown();
    }
    // A short stream, ended by stop; returns the switches the host saw.
    std::vector<Switch> Play() {
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        EXPECT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
        EXPECT_EQ(driver->start(), ASE_OK);
        EXPECT_TRUE(TestHost::Get().WaitSwitches(20));
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        EXPECT_TRUE(WaitStreamEnd(driver));  // the thread plays its silent tail, then ends
        return TestHost::Get().log();
    }
};

#ifdef _WIN32

// Wine's avrt.dll answers; whichever way it goes, the thread says so on the way in and out.
TEST_F(PriorityTest, TheStreamingThreadIsRaisedAndPutBack) {
    const std::vector<Switch> log = Play();
    ASSERT_FALSE(log.empty());
    const bool mmcss = Traced("joined MMCSS \"Pro Audio\"");
    EXPECT_TRUE(mmcss || Traced("THREAD_PRIORITY_TIME_CRITICAL"));
    EXPECT_TRUE(mmcss ? Traced("left MMCSS \"Pro Audio\"") : Traced("back at priority"));
    if (!mmcss) {
        for (const Switch& s : log)
            EXPECT_EQ(s.priority, THREAD_PRIORITY_TIME_CRITICAL);
    }
}

#else

// A stand-in avrt.dll: what the driver asked of it, and from which thread.
struct Avrt {
    bool refuse = false;
    std::basic_string<WCHAR> task;
    DWORD joinThread = 0, priorityThread = 0, revertThread = 0;
    int priority = -1;
    HANDLE reverted = nullptr;
    int switchesAtRevert = -1;
};
Avrt g_avrt;
HANDLE const kTask = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7A5C));

HANDLE WINAPI FakeJoin(LPCWSTR task, LPDWORD index) {
    g_avrt.task = task;
    g_avrt.joinThread = GetCurrentThreadId();
    *index = 7;
    if (g_avrt.refuse) {
        SetLastError(1552);  // ERROR_INVALID_TASK_NAME
        return nullptr;
    }
    return kTask;
}
BOOL WINAPI FakePriority(HANDLE task, int priority) {
    g_avrt.priority = task == kTask ? priority : -2;
    g_avrt.priorityThread = GetCurrentThreadId();
    return TRUE;
}
BOOL WINAPI FakeRevert(HANDLE task) {
    g_avrt.reverted = task;
    g_avrt.revertThread = GetCurrentThreadId();
    g_avrt.switchesAtRevert = TestHost::Get().switches.load();
    return TRUE;
}

template <typename Fn>
FARPROC Export(Fn fn) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

class StandInPriorityTest : public PriorityTest {
  protected:
    void SetUp() override {
        PriorityTest::SetUp();
        posix::ResetModules();
        posix::TakeThreadPriorityLog();
        g_avrt = Avrt{};
    }
    void TearDown() override {
        posix::ResetModules();
        PriorityTest::TearDown();
    }
    void InstallAvrt(bool withRevert = true) {
        HMODULE m = posix::RegisterModule(u"avrt.dll", u"C:\\windows\\system32\\avrt.dll");
        posix::RegisterProc(m, "AvSetMmThreadCharacteristicsW", Export(&FakeJoin));
        posix::RegisterProc(m, "AvSetMmThreadPriority", Export(&FakePriority));
        if (withRevert) {
            posix::RegisterProc(m, "AvRevertMmThreadCharacteristics", Export(&FakeRevert));
        }
    }
    // The thread went time-critical for the whole stream and back to normal at its end.
    void ExpectTimeCriticalThenBack(const std::vector<Switch>& log) {
        ASSERT_FALSE(log.empty());
        const DWORD thread = log.front().thread;
        for (const Switch& s : log) {
            EXPECT_EQ(s.thread, thread);
            EXPECT_EQ(s.priority, THREAD_PRIORITY_TIME_CRITICAL);
        }
        EXPECT_EQ(posix::TakeThreadPriorityLog(),
                  (std::vector<std::pair<DWORD, int>>{{thread, THREAD_PRIORITY_TIME_CRITICAL},
                                                      {thread, THREAD_PRIORITY_NORMAL}}));
        EXPECT_TRUE(Traced("Streaming thread at THREAD_PRIORITY_TIME_CRITICAL"));
        EXPECT_TRUE(Traced("Streaming thread back at priority 0"));
    }
};

TEST_F(StandInPriorityTest, JoinsProAudioAtCriticalPriorityAndLeavesAfterTheLastSwitch) {
    InstallAvrt();
    const std::vector<Switch> log = Play();
    ASSERT_FALSE(log.empty());
    const DWORD thread = log.front().thread;
    EXPECT_EQ(g_avrt.task, u"Pro Audio");
    EXPECT_EQ(g_avrt.joinThread, thread);
    EXPECT_EQ(g_avrt.priority, 2);  // AVRT_PRIORITY_CRITICAL
    EXPECT_EQ(g_avrt.priorityThread, thread);
    EXPECT_EQ(g_avrt.reverted, kTask);
    EXPECT_EQ(g_avrt.revertThread, thread);
    EXPECT_EQ(g_avrt.switchesAtRevert, TestHost::Get().switches.load());
    EXPECT_TRUE(posix::TakeThreadPriorityLog().empty());
    EXPECT_TRUE(Traced("Streaming thread joined MMCSS \"Pro Audio\" (task 7), critical priority"));
    EXPECT_TRUE(Traced("Streaming thread left MMCSS \"Pro Audio\""));
}

TEST_F(StandInPriorityTest, WithoutAvrtTheThreadRunsTimeCritical) {
    ExpectTimeCriticalThenBack(Play());
    EXPECT_TRUE(Traced("avrt.dll not available"));
}

TEST_F(StandInPriorityTest, WhenProAudioIsRefusedTheThreadRunsTimeCritical) {
    InstallAvrt();
    g_avrt.refuse = true;
    ExpectTimeCriticalThenBack(Play());
    EXPECT_EQ(g_avrt.reverted, nullptr);
    EXPECT_TRUE(Traced("MMCSS \"Pro Audio\" refused (error 1552)"));
}

// Joining without a way back would leave the thread in the task after the stream.
TEST_F(StandInPriorityTest, AnAvrtWithoutRevertIsNotJoined) {
    InstallAvrt(false);
    ExpectTimeCriticalThenBack(Play());
    EXPECT_EQ(g_avrt.joinThread, 0u);
}

// Windows 7 without KB2533623 refuses the search flag: ksuser.dll and avrt.dll come by their full
// path in the system folder instead, never by a bare name, and the stream plays in MMCSS.
TEST_F(StandInPriorityTest, WithoutTheSearchFlagBothLibrariesComeFromTheSystemFolder) {
    InstallAvrt();
    posix::SetLoadSearchFlags(false);
    sim::Machine m = sim::DefaultMachine();
    m.loadSearchFlags = false;
    sim::Reset(m);
    KsUserLibrary::Forget();
    EXPECT_FALSE(Play().empty());
    EXPECT_EQ(g_avrt.task, u"Pro Audio");
    const std::vector<sim::Logged> loads = sim::Log(sim::Op::LoadLibrary);
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[0].result, DWORD{ERROR_INVALID_PARAMETER});
    const std::u16string ksuser = std::u16string(posix::kSystemFolder) + u"\\ksuser.dll";
    EXPECT_EQ(loads[1].path, std::basic_string<WCHAR>(ksuser.begin(), ksuser.end()));
    EXPECT_EQ(loads[1].result, 0u);
    KsUserLibrary::Forget();
}

#endif

}  // namespace
}  // namespace ferox::test
