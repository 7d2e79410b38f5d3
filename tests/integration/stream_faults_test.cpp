// A device that fails, hangs or disappears: the stream ends cleanly, the host hears of it when it
// can recover, nothing is used after it is gone, and nothing waits forever.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "integration/test_host.h"
#include "platform/alloc.h"
#include "sim/sim.h"
#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace {
std::atomic<unsigned long> g_news{0};
}  // namespace

// The replacements below pair malloc with free themselves; GCC cannot see that once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Counts every allocation of the test program but the simulated device's (the kernel's own).
void* operator new(std::size_t n) {
    if (!ferox::sim::InDevice())
        g_news.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace ferox::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

sim::Match Writes() {
    sim::Match m{};
    m.op = sim::Op::WriteStream;
    return m;
}

class FaultTest : public DriverStreamTest {
  protected:
    void SetUp() override {
        DriverStreamTest::SetUp();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
    }
    void TearDown() override {
        const auto t0 = steady_clock::now();
        DriverStreamTest::TearDown();
        EXPECT_LT(steady_clock::now() - t0, milliseconds(3000));
        for (const sim::PinState& p : sim::Pins()) {
            EXPECT_FALSE(p.open);
            EXPECT_EQ(p.writesPending, 0u);
        }
#ifndef _WIN32
        posix::ResetFaults();
#endif
    }
    bool WaitFor(const std::atomic<int>& value, int atLeast,
                 milliseconds timeout = milliseconds(3000)) {
        const auto deadline = steady_clock::now() + timeout;
        while (value.load() < atLeast) {
            if (steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(milliseconds(1));
        }
        return true;
    }
    milliseconds TimedStop() {
        const auto t0 = steady_clock::now();
        EXPECT_EQ(driver->stop(), ASE_OK);
        return std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0);
    }
};

TEST_F(FaultTest, WritesRefusedAtOnceEndTheStreamAndAskForAReset) {
    sim::InjectFault(Writes(), {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 3, 0});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitFor(TestHost::Get().resetRequests, 1));
    EXPECT_LT(TimedStop(), milliseconds(200));
    EXPECT_EQ(TestHost::Get().resetRequests.load(), 1);
    EXPECT_FALSE(sim::Pins()[0].open);
    // The host recovers as hosts do: a new start.
    sim::ClearFaults();
    const int before = TestHost::Get().switches.load();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(before + 5));
}

TEST_F(FaultTest, WritesCompletingWithErrorsEndTheStream) {
    sim::InjectFault(Writes(), {sim::Action::PendFail, ERROR_GEN_FAILURE, 1, 5, 0});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitFor(TestHost::Get().resetRequests, 1));
}

TEST_F(FaultTest, HostWithoutResetSupportIsNotSentOne) {
    TestHost::Get().supportsReset = 0;
    sim::InjectFault(Writes(), {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 0, 0});
    ASSERT_EQ(driver->start(), ASE_OK);
    const auto deadline = steady_clock::now() + milliseconds(2000);
    while (sim::Pins().empty() || sim::Pins()[0].open) {
        ASSERT_LT(steady_clock::now(), deadline);
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_EQ(TestHost::Get().resetRequests.load(), 0);
}

TEST_F(FaultTest, UnpluggedMidStream) {
    sim::SetWriteMode(sim::WriteMode::RealTime, 40);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(10));
    sim::Unplug();
    ASSERT_TRUE(WaitFor(TestHost::Get().resetRequests, 1));
    EXPECT_LT(TimedStop(), milliseconds(200));
    EXPECT_EQ(driver->start(), ASE_NotPresent);  // no device to create a pin on
}

// The device takes ten writes and no more: with 128 frames (2.9 ms) a half, the 10 ms margin keeps
// four in flight, so the host fills the ten, the four, and the one it is given while they wait.
TEST_F(FaultTest, StopReturnsWhenWritesNeverComplete) {
    sim::InjectFault(Writes(), {sim::Action::NeverComplete, 0, 0, 10, 0});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(15));
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(TestHost::Get().switches.load(), 15);  // one a half sent, the pre-fill the first
    EXPECT_LE(TimedStop(), milliseconds(1100));
}

// A device that stops taking writes while streaming: the host is told, not left in silence.
TEST_F(FaultTest, AStreamTheDeviceStopsTakingEndsWithAResetRequest) {
    sim::InjectFault(Writes(), {sim::Action::NeverComplete, 0, 0, 10, 0});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(15));
    ASSERT_TRUE(WaitFor(TestHost::Get().resetRequests, 1, milliseconds(5000)));
    EXPECT_EQ(TestHost::Get().switches.load(), 15);
    EXPECT_FALSE(sim::Pins()[0].open);
    EXPECT_LT(TimedStop(), milliseconds(200));
}

TEST_F(FaultTest, ReleaseWithAWriteThatNeverCompletes) {
    sim::InjectFault(Writes(), {sim::Action::NeverComplete, 0, 0, 3, 1});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(4));
    // No stop: the last reference goes with the stream stuck; TearDown checks it ended cleanly.
}

TEST_F(FaultTest, DisposeAndStartAgainWhileAWriteHangs) {
    sim::InjectFault(Writes(), {sim::Action::NeverComplete, 0, 0, 3, 1});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(4));
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(CreateOutputs(driver, 1, 64), ASE_OK);
    const int before = TestHost::Get().switches.load();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(before + 5));
}

TEST_F(FaultTest, NothingIsAllocatedWhileStreaming) {
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(10));
    const unsigned long allocations = alloc_test::Calls();
    const unsigned long news = g_news.load();
    ASSERT_TRUE(TestHost::Get().WaitSwitches(200));
    EXPECT_EQ(alloc_test::Calls(), allocations);
    EXPECT_EQ(g_news.load(), news);
    TimedStop();
}

sim::Match VendorRequests() {
    sim::Match m{};
    m.op = sim::Op::VendorMode;
    return m;
}

// Nothing of a start that failed is left: the pin is closed and the host never called.
void ExpectNothingStarted() {
    ASSERT_FALSE(sim::Pins().empty());
    EXPECT_FALSE(sim::Pins().back().open);
    EXPECT_EQ(TestHost::Get().switches.load(), 0);
    EXPECT_TRUE(sim::Captured().empty());
}

// A DAC that does not do DSD: played as PCM, the DSD bits would be full-scale noise.
class DacWithoutDsdTest : public FaultTest {
  protected:
    void SetUp() override {
        DriverStreamTest::SetUp();
        sim::Machine m = sim::DefaultMachine();
        m.interfaces[0].filter.refusedModes = {0x8000};
        sim::Reset(m);
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
    }
};

TEST_F(DacWithoutDsdTest, StartFailsWithTheReasonAndPcmStillPlays) {
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    SetIoFormat(driver, kASIODSDFormat);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    ASSERT_EQ(CreateOutputs(driver, 2, 2048), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_HWMalfunction);
    char text[128];
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor Device refused DSD mode");
    ExpectNothingStarted();
    EXPECT_EQ(driver->stop(), ASE_OK);

    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    SetIoFormat(driver, kASIOPCMFormat);
    ASSERT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(5));
    TimedStop();
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x10000, 0x8002}));
}

TEST_F(FaultTest, VendorRequestAnsweredLateIsWaitedForAndOneNeverAnsweredFailsStart) {
    sim::InjectFault(VendorRequests(), {sim::Action::Pend, 0, 50});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(5));
    TimedStop();
    DriverStreamTest::TearDown();
    DriverStreamTest::SetUp();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);

    sim::InjectFault(VendorRequests(), {sim::Action::NeverComplete});
    const auto t0 = steady_clock::now();
    EXPECT_EQ(driver->start(), ASE_HWMalfunction);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(4000));  // twice the request's bound
    char text[128];
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor Device refused PCM mode");
    ExpectNothingStarted();
}

// The end of the stream is told to a device that never answers and ignores the cancel: the
// streaming thread still ends, in bounded time, and closes the pin.
TEST_F(FaultTest, EndOfStreamRequestThatIsNeverGivenBackDoesNotHoldTheThread) {
    sim::Fault deaf{sim::Action::NeverComplete, 0, 0, 1, 1};
    deaf.ignoreCancel = true;
    sim::InjectFault(VendorRequests(), deaf);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(5));
    EXPECT_LE(TimedStop(), milliseconds(1500));
    const auto deadline = steady_clock::now() + milliseconds(5000);
    while (sim::Pins()[0].open) {
        ASSERT_LT(steady_clock::now(), deadline);
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(sim::Log(sim::Op::CancelIo).size(), 1u);
}

// Whichever allocation of a first start fails, it fails cleanly or streams; never half of each.
TEST_F(FaultTest, StartOutOfMemoryAtEachAllocation) {
    bool vendorRecordFailed = false;
    for (unsigned n = 1; n < 100; ++n) {
        if (n > 1) {  // a fresh driver: some records are made on the first start only
            DriverStreamTest::TearDown();
            DriverStreamTest::SetUp();
            ASSERT_EQ(driver->init(nullptr), ASIOTrue);
            ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
        }
        const unsigned long before = alloc_test::Calls();
        alloc_test::FailNth(n);
        const ASIOError e = driver->start();
        const bool reached = alloc_test::Calls() - before >= n;
        alloc_test::Reset();
        if (e == ASE_OK) {
            ASSERT_TRUE(TestHost::Get().WaitSwitches(3));
            TimedStop();
        } else {
            EXPECT_TRUE(reached);
            ExpectNothingStarted();
            char text[128];
            driver->getErrorMessage(text);
            vendorRecordFailed =
                vendorRecordFailed ||
                (e == ASE_NoMemory && std::string(text) == "ASIO Pellinor Out of memory");
        }
        if (!reached)
            break;
    }
    EXPECT_TRUE(vendorRecordFailed);
}

#ifndef _WIN32
TEST_F(FaultTest, StreamResourcesThatCannotBeHad) {
    // The settings watch, made once at the first start, is not what is starved here.
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_EQ(driver->stop(), ASE_OK);
    posix::FailNth(posix::Fault::CreateThread, 1);
    EXPECT_EQ(driver->start(), ASE_NoMemory);
    char text[128];
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor Could not start the stream");
    EXPECT_FALSE(sim::Pins()[0].open);

    posix::FailNth(posix::Fault::CreateEvent, 1);  // the request that sets the pin running
    EXPECT_EQ(driver->start(), ASE_HWMalfunction);
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor Render Pin refused to run");

    // The latency request that follows is only asked: its failure costs nothing.
    posix::FailNth(posix::Fault::CreateEvent, 3);  // the stop event
    EXPECT_EQ(driver->start(), ASE_NoMemory);

    posix::FailNth(posix::Fault::CreateEvent, 4);  // the event the thread says it is done by
    EXPECT_EQ(driver->start(), ASE_NoMemory);

    posix::FailNth(posix::Fault::CreateEvent, 5);  // the event that says no callback follows
    EXPECT_EQ(driver->start(), ASE_NoMemory);

    posix::FailNth(posix::Fault::CreateEvent, 6);  // a packet event of the thread
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitFor(TestHost::Get().resetRequests, 1));
    EXPECT_EQ(TestHost::Get().switches.load(), 0);
}
#endif

}  // namespace
}  // namespace ferox::test
