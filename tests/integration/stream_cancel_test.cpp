// A write the device will not give back at the end of a stream: cancelled, then the pin
// stopped, then closed, each bounded; what the device may still write to stays allocated, every
// call returns, and the next stream plays from memory of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/trace.h"
#include "integration/test_host.h"
#include "ks/irp_target.h"
#include "sim/sim.h"
#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace ferox::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::mutex g_linesMutex;
std::vector<std::basic_string<WCHAR>>& Lines() {
    static std::vector<std::basic_string<WCHAR>> lines;
    return lines;
}
void Collect(int, const WCHAR* line) {
    std::lock_guard lock(g_linesMutex);
    Lines().emplace_back(line);
}
int CountTraced(const char* text) {
    const std::basic_string<WCHAR> wanted(text, text + std::char_traits<char>::length(text));
    std::lock_guard lock(g_linesMutex);
    int n = 0;
    for (const auto& l : Lines())
        n += l.find(wanted) != std::basic_string<WCHAR>::npos;
    return n;
}

constexpr char kKeptLine[] =
    "ASIOPellinor::PlayPin 1 writes left to the device after a cancel, a stop and a close";

std::uint32_t WordAt(const sim::Bytes& b, std::size_t byte) {
    std::uint32_t w;
    std::memcpy(&w, b.data() + byte, 4);
    return w;
}

// What the latest pin was sent since the log was cleared, but its writes, in order: "vendor",
// "cancel", "stop", "close", other requests by their kind.
std::vector<std::string> EndOfPin() {
    const std::vector<sim::Logged> log = sim::Log();
    HANDLE pin = nullptr;
    for (const sim::Logged& l : log) {
        if (l.target == sim::Target::Pin)
            pin = l.handle;
    }
    std::vector<std::string> seen;
    for (const sim::Logged& l : log) {
        if (l.handle != pin || l.op == sim::Op::WriteStream)
            continue;
        if (l.op == sim::Op::CancelIo) {
            seen.push_back("cancel");
        } else if (l.op == sim::Op::CloseHandle) {
            seen.push_back("close");
        } else if (l.op == sim::Op::Property && l.in.size() >= sizeof(KSPROPERTY)) {
            KSPROPERTY p;
            std::memcpy(&p, l.in.data(), sizeof(p));
            ULONG state = ~0u;
            if (l.out.size() >= sizeof(state))
                std::memcpy(&state, l.out.data(), sizeof(state));
            const bool stop = p.Set == kKsPropSetIdConnection &&
                              p.Id == KSPROPERTY_CONNECTION_STATE &&
                              p.Flags == KSPROPERTY_TYPE_SET && state == KSSTATE_STOP;
            seen.push_back(stop ? "stop" : "property");
        } else if (l.op == sim::Op::VendorMode) {
            seen.push_back("vendor");
        } else {
            seen.push_back("other");
        }
    }
    return seen;
}

class CancelTest : public DriverStreamTest {
  protected:
    void SetUp() override {
        DriverStreamTest::SetUp();
        {
            std::lock_guard lock(g_linesMutex);
            Lines().clear();
        }
        SetTraceLevel(kTraceError);
        trace_test::SetSink(&Collect);
        Open();
    }
    void TearDown() override {
        const auto t0 = steady_clock::now();
        DriverStreamTest::TearDown();
        EXPECT_LT(steady_clock::now() - t0, milliseconds(5000));
        trace_test::SetSink(nullptr);
        SetTraceLevel(0);
    }
    void Open() {
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
    }
    // Starts a stream whose fourth write the device keeps as `fault` says.
    void StartWithKeptWrite(sim::Fault fault) {
        // The silent tail of a stream before must not count among the writes the fault skips.
        ASSERT_TRUE(WaitStreamEnd(driver));
        fault.action = sim::Action::NeverComplete;
        fault.skip = 3;
        fault.times = 1;
        sim::Match writes{};
        writes.op = sim::Op::WriteStream;
        sim::InjectFault(writes, fault);
        const int before = TestHost::Get().switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(TestHost::Get().WaitSwitches(before + 6));
    }
    // A new stream plays every fill of the host bit-exact.
    void ExpectStreamsBitExact() {
        sim::ClearFaults();
        TestHost& host = TestHost::Get();
        ASSERT_TRUE(WaitStreamEnd(driver, std::chrono::seconds(10)));
        sim::ClearCapture();
        const int before = host.switches.load();
        host.PreFill();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(before + 20));
        EXPECT_EQ(driver->stop(), ASE_OK);
        const sim::Bytes captured = sim::Captured();
        const std::size_t writeBytes = 128 * 8;
        ASSERT_GE(captured.size(), 10 * writeBytes);
        for (std::size_t k = 0; k < 10; ++k) {
            for (AsioLong i = 0; i < 128; ++i) {
                const std::size_t at = k * writeBytes + static_cast<std::size_t>(i) * 8;
                const int fill = k == 0 ? 0 : before + static_cast<int>(k);
                ASSERT_EQ(WordAt(captured, at),
                          static_cast<std::uint32_t>(TestHost::Word(fill, 0, i)))
                    << "write " << k << " word " << i;
                ASSERT_EQ(WordAt(captured, at + 4),
                          static_cast<std::uint32_t>(TestHost::Word(fill, 1, i)));
            }
        }
    }
};

// How far a kept write gets: each driver gives it back at a later step, or never; the steps
// come in order and each only while the write is still out.
TEST_F(CancelTest, KeptWriteIsCancelledThenStoppedThenClosed) {
    struct Case {
        const char* name;
        bool ignoreStop;
        bool closeEndsIt;
        std::vector<std::string> end;  // what the pin is sent after its last write
        std::size_t kept;              // blocks left to the device
    };
    const std::vector<std::string> all = {"vendor", "cancel", "stop", "close"};
    const Case cases[] = {
        {"ignores the cancel, honours the stop", false, false, all, 0},
        {"ignores the cancel and the stop, goes on close", true, true, all, 0},
        {"ignores everything", true, false, all, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t heldBefore = CKsIrpTarget::HeldByDevice();
        sim::Fault deaf{};
        deaf.ignoreCancel = true;
        deaf.ignoreStop = c.ignoreStop;
        deaf.closeEndsIt = c.closeEndsIt;
        StartWithKeptWrite(deaf);
        sim::ClearLog();
        const auto t0 = steady_clock::now();
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        ASSERT_TRUE(WaitStreamEnd(driver));
        EXPECT_LT(steady_clock::now() - t0, milliseconds(5000));
        EXPECT_EQ(EndOfPin(), c.end);
        EXPECT_EQ(CKsIrpTarget::HeldByDevice(), heldBefore + c.kept);
        EXPECT_EQ(CountTraced(kKeptLine), static_cast<int>(c.kept));
        EXPECT_FALSE(sim::Pins().back().open);
        {
            std::lock_guard lock(g_linesMutex);
            Lines().clear();
        }
        ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
        ExpectStreamsBitExact();
    }
}

// A write the device never gives back holds none of the calls that end a stream, whichever comes
// first, though the streaming thread's own exit waits for it (as Windows makes a thread wait for
// its own I/O); the device may still complete it long after, into memory that is still there.
TEST_F(CancelTest, EveryCallReturnsWhileTheDeviceKeepsAWrite) {
    enum class End { Stop, Dispose, Init, Release };
    const End ends[] = {End::Stop, End::Dispose, End::Init, End::Release};
    for (const End end : ends) {
        SCOPED_TRACE(static_cast<int>(end));
        if (end != End::Stop) {  // a fresh driver and device for each
            DriverStreamTest::TearDown();
            DriverStreamTest::SetUp();
            Open();
        }
        const std::size_t heldBefore = CKsIrpTarget::HeldByDevice();
#ifndef _WIN32
        // Threads of the streams before end just after they said they were done; a driver that
        // started has its settings watch besides.
        auto settle = [&](std::size_t watches) {
            for (int i = 0; i < 200 && posix::LiveThreadCount() > watches; ++i)
                Sleep(10);
            return posix::LiveThreadCount() - watches;
        };
        ASSERT_EQ(settle(0), 0u);
#endif
        sim::Fault deaf{};
        deaf.ignoreCancel = true;
        deaf.ignoreStop = true;
        StartWithKeptWrite(deaf);
        const auto t0 = steady_clock::now();
        switch (end) {
            case End::Stop:
                EXPECT_EQ(driver->stop(), ASE_OK);
                EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
                ASSERT_TRUE(WaitStreamEnd(driver));
                break;
            case End::Dispose:
                EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
                ASSERT_TRUE(WaitStreamEnd(driver));
                break;
            case End::Init:
                EXPECT_EQ(driver->init(nullptr), ASIOTrue);
                break;
            case End::Release:
                EXPECT_EQ(driver->Release(), 0u);
                driver = nullptr;
                break;
        }
        EXPECT_LT(steady_clock::now() - t0, milliseconds(5000));
        EXPECT_EQ(CKsIrpTarget::HeldByDevice(), heldBefore + 1);
        EXPECT_EQ(CountTraced(kKeptLine), 1);
        {
            std::lock_guard lock(g_linesMutex);
            Lines().clear();
        }
#ifndef _WIN32
        const std::size_t watches = driver ? 1 : 0;
        EXPECT_EQ(posix::LiveThreadCount(), watches + 1);  // still in its exit
#endif
        // Completed at last: into the kept record, signalling the kept event; the thread ends.
        sim::CompleteHeld(static_cast<LONG>(0xC0000120u));
#ifndef _WIN32
        EXPECT_EQ(settle(watches), 0u);
#endif
        if (driver == nullptr)
            continue;
        if (end != End::Init) {
            ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
        }
        ExpectStreamsBitExact();
    }
}

// A stream that restarts on its own (start from a callback) after its device kept a write gets
// new memory on the streaming thread too.
TEST_F(CancelTest, RestartAfterAKeptWritePlaysFromNewMemory) {
    const std::size_t heldBefore = CKsIrpTarget::HeldByDevice();
    sim::Fault deaf{};
    deaf.ignoreCancel = true;
    deaf.ignoreStop = true;
    TestHost& host = TestHost::Get();
    host.inSwitch = [this](int k) {
        if (k == 6) {  // the fourth write is out by then
            driver->stop();
            driver->start();
        }
    };
    StartWithKeptWrite(deaf);
    ASSERT_TRUE(host.WaitSwitches(30, milliseconds(15000)));
    EXPECT_EQ(CKsIrpTarget::HeldByDevice(), heldBefore + 1);
    // Completed while the next stream plays: into the kept memory, never the new stream's.
    sim::CompleteHeld(static_cast<LONG>(0xC0000120u));
    ASSERT_TRUE(host.WaitSwitches(60, milliseconds(15000)));
    EXPECT_EQ(host.resetRequests.load(), 0);
    EXPECT_GE(sim::Pins().size(), 2u);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    host.inSwitch = nullptr;
}

// A device that handles the end-of-stream request without pending and blocks in it for 3 s, on
// the streaming thread: stop and disposeBuffers return at once; the next start, which needs the
// stream's memory, waits for the thread to come out of the device, and no longer.
TEST_F(CancelTest, EndOfStreamBlockedInsideTheDevice) {
    sim::Match vendor{};
    vendor.op = sim::Op::VendorMode;
    sim::Fault block{sim::Action::Block};
    block.delayMs = 3000;
    block.skip = 1;  // the mode of the start goes through
    sim::InjectFault(vendor, block);
    const int before = TestHost::Get().switches.load();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(before + 6));
    auto t0 = steady_clock::now();
    EXPECT_EQ(driver->stop(), ASE_OK);
    const auto stopTook = steady_clock::now() - t0;
    EXPECT_LT(stopTook, milliseconds(2000));
    t0 = steady_clock::now();
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    const auto disposeTook = steady_clock::now() - t0;
    EXPECT_LT(stopTook + disposeTook, milliseconds(5000));
    std::printf(
        "blocked end of stream: stop %lld ms, disposeBuffers %lld ms\n",
        static_cast<long long>(std::chrono::duration_cast<milliseconds>(stopTook).count()),
        static_cast<long long>(std::chrono::duration_cast<milliseconds>(disposeTook).count()));
    EXPECT_LT(disposeTook, milliseconds(500));
    EXPECT_TRUE(sim::Pins().back().open);  // the tail is the thread's
    ASSERT_EQ(CreateOutputs(driver, 2, 128), ASE_OK);
    ExpectStreamsBitExact();
}

}  // namespace
}  // namespace ferox::test
