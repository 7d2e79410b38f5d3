// Hosts as they really call: back into the driver from its own callbacks (on the streaming
// thread), rate and mode changes while playing, latencies before and after the device spoke, the
// position and time they read back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "integration/test_host.h"
#include "platform/alloc.h"
#include "sim/sim.h"
#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace ferox::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

template <typename Pred>
bool WaitUntil(Pred pred, milliseconds timeout = milliseconds(5000)) {
    const auto deadline = steady_clock::now() + timeout;
    while (!pred()) {
        if (steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

bool PinClosed(std::size_t i) {
    const auto pins = sim::Pins();
    return pins.size() > i && !pins[i].open;
}

bool PinOpen(std::size_t i) {
    const auto pins = sim::Pins();
    return pins.size() > i && pins[i].open;
}

// The carrier rate a pin was created with: nSamplesPerSec of its wave format.
DWORD PinRate(const sim::PinState& pin) {
    DWORD rate = 0;
    const std::size_t at = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + 4;
    if (pin.connect.size() >= at + 4)
        std::memcpy(&rate, pin.connect.data() + at, 4);
    return rate;
}

class HostCallsTest : public DriverStreamTest {
  protected:
    void SetUp() override {
        DriverStreamTest::SetUp();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    }
    // The driver as the callbacks see it: a test that lets a callback release it takes it
    // out of the fixture's hands first.
    IASIO* TakeDriver() {
        IASIO* d = driver;
        driver = nullptr;
        return d;
    }
    // The device fails four writes in a row after a few good ones: the stream ends and the host
    // is sent a reset request from the streaming thread.
    static void FailWritesSoon() {
        sim::Match m{};
        m.op = sim::Op::WriteStream;
        sim::InjectFault(m, {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 5, 4});
    }
    TestHost& host = TestHost::Get();
};

TEST_F(HostCallsTest, StopInsideASwitchEndsTheStreamWithoutWaitingForIt) {
    bool pinOpenAfterStop = false;
    host.inSwitch = [&](int k) {
        if (k != 5)
            return;
        EXPECT_EQ(driver->stop(), ASE_OK);
        // Returned while this very thread still holds the pin: it did not wait for itself.
        pinOpenAfterStop = sim::Pins()[0].open;
    };
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitUntil([] { return PinClosed(0); }));
    EXPECT_TRUE(pinOpenAfterStop);
    EXPECT_EQ(host.switches.load(), 5);
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x10000, 0x8002}));

    // The host thread's next start takes over the ended stream.
    host.inSwitch = nullptr;
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(10));
    EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(HostCallsTest, StopAndStartInsideASwitchPlayOnWithANewPin) {
    host.inSwitch = [&](int k) {
        if (k == 5) {
            EXPECT_EQ(driver->stop(), ASE_OK);
            EXPECT_EQ(driver->start(), ASE_OK);
        }
    };
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(20));
    ASSERT_TRUE(WaitUntil([] { return PinClosed(0) && PinOpen(1); }));
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(sim::Pins().size(), 2u);
}

TEST_F(HostCallsTest, ReleaseInsideASwitchLeavesNothingBehind) {
    IASIO* d = TakeDriver();
    std::atomic<ULONG> released{99};
    // A host releases only what it no longer uses: not while its start is still running.
    std::atomic<bool> started{false};
    host.inSwitch = [&](int k) {
        if (k >= 5 && started.load() && released.load() == 99)
            released = d->Release();
    };
    ASSERT_EQ(CreateOutputs(d, 2, 64), ASE_OK);
    ASSERT_EQ(d->start(), ASE_OK);
    started = true;
    // The streaming thread ends the stream and deletes the object itself.
    ASSERT_TRUE(WaitUntil([] { return DllCanUnloadNow() == S_OK && sim::OpenHandles() == 0; }));
    EXPECT_EQ(released.load(), 0u);
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x10000, 0x8002}));
}

TEST_F(HostCallsTest, InitInsideASwitchReplacesTheFilterOnceThePinIsClosed) {
    host.inSwitch = [&](int k) {
        if (k == 5) {
            EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        }
    };
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitUntil([] { return PinClosed(0) && sim::OpenHandles() == 1; }));
    host.inSwitch = nullptr;
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(10));
    EXPECT_EQ(driver->stop(), ASE_OK);
}

// Simple hosts answer the reset request on the thread that sent it.
TEST_F(HostCallsTest, ResetAnsweredWithDisposeOnTheStreamingThread) {
    std::atomic<bool> answered{false};
    host.inReset = [&] {
        EXPECT_EQ(driver->stop(), ASE_OK);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        answered = true;
    };
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    FailWritesSoon();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitUntil([&] { return answered.load(); }));
    EXPECT_EQ(host.resetRequests.load(), 1);
    EXPECT_TRUE(WaitUntil([] { return PinClosed(0); }));
    EXPECT_EQ(driver->start(), ASE_NotPresent);  // no buffers any more
}

TEST_F(HostCallsTest, ResetAnsweredWithANewStreamOnTheStreamingThread) {
    host.inReset = [&] {
        EXPECT_EQ(driver->stop(), ASE_OK);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        EXPECT_EQ(CreateOutputs(driver, 1, 128), ASE_OK);
        EXPECT_EQ(driver->start(), ASE_OK);
    };
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    FailWritesSoon();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitUntil([] { return PinOpen(1); }));
    const int before = host.switches.load();
    ASSERT_TRUE(host.WaitSwitches(before + 10));
    EXPECT_EQ(driver->stop(), ASE_OK);
    const auto pins = sim::Pins();
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[1].bytesReceived % (128 * 8), 0u);  // the new size
}

TEST_F(HostCallsTest, ResetAnsweredWithTheLastRelease) {
    IASIO* d = TakeDriver();
    std::atomic<bool> started{false};
    host.inReset = [&] {
        while (!started.load())
            std::this_thread::yield();
        d->stop();
        d->disposeBuffers();
        EXPECT_EQ(d->Release(), 0u);
    };
    ASSERT_EQ(CreateOutputs(d, 2, 64), ASE_OK);
    FailWritesSoon();
    ASSERT_EQ(d->start(), ASE_OK);
    started = true;
    ASSERT_TRUE(WaitUntil([] { return DllCanUnloadNow() == S_OK && sim::OpenHandles() == 0; }));
    EXPECT_EQ(host.resetRequests.load(), 1);
}

TEST_F(HostCallsTest, TimeInfoWithoutItsCallbackGetsBufferSwitch) {
    host.supportsTimeInfo = 1;
    host.timeInfoCallback = false;
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(5));
    EXPECT_EQ(driver->stop(), ASE_OK);
    for (const Switch& s : host.log())
        EXPECT_FALSE(s.timeInfo);
}

TEST_F(HostCallsTest, RateTheOpenDeviceCannotTakeIsRefusedAndChangesNothing) {
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(22050.0), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(22050.0), ASE_NoClock);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(host.rateChanges.load(), 0);  // the host's own rate: nothing changed under it
    // In DSD mode the rates are DSD rates: 44100 would give the device a carrier of 689.
    SetIoFormat(driver, kASIODSDFormat);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(5644800.0), ASE_OK);
}

// Played on at the old carrier, every half filled at the new rate would sound at the wrong
// speed: the stream goes on with a pin at the new rate, whether the host rebuilds or not.
TEST_F(HostCallsTest, RateChangedWhilePlayingGoesOnAtTheNewRate) {
    for (AsioLong supportsReset : {0, 1}) {
        SCOPED_TRACE(supportsReset);
        sim::Reset();
        sim::SetWriteMode(sim::WriteMode::Fast);
        host.Reset();
        host.supportsReset = supportsReset;
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(driver->setSampleRate(44100.0), ASE_OK);
        ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(5));
        ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
        EXPECT_EQ(host.rateChanges.load(), 0);  // rebuilt on the reset request, not reloaded
        EXPECT_EQ(host.resetRequests.load(), supportsReset);
        ASSERT_TRUE(WaitUntil([] { return PinClosed(0) && PinOpen(1); }));
        const int before = host.switches.load();
        ASSERT_TRUE(host.WaitSwitches(before + 10));
        EXPECT_EQ(driver->stop(), ASE_OK);
        const auto pins = sim::Pins();
        ASSERT_EQ(pins.size(), 2u);
        EXPECT_EQ(PinRate(pins[0]), 44100u);
        EXPECT_EQ(PinRate(pins[1]), 96000u);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    }
}

// A second rate change while the first restart still opens its pin is not lost: the stream ends
// up at the second rate, not at the first with the second reported.
TEST_F(HostCallsTest, SecondRateChangeDuringARestartIsNotLost) {
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    // The restart's mode request (after the start's and the end of stream) takes 300 ms.
    sim::Match vendor{};
    vendor.op = sim::Op::VendorMode;
    sim::InjectFault(vendor, {sim::Action::Pend, 0, 300, 2, 1});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(5));
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    ASSERT_TRUE(WaitUntil([] { return PinOpen(1); }));  // made, its mode not yet taken
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    ASSERT_TRUE(WaitUntil([] { return PinOpen(2); }));
    const int before = host.switches.load();
    ASSERT_TRUE(host.WaitSwitches(before + 10));
    EXPECT_EQ(driver->stop(), ASE_OK);
    const auto pins = sim::Pins();
    ASSERT_EQ(pins.size(), 3u);
    EXPECT_EQ(PinRate(pins[1]), 48000u);
    EXPECT_EQ(PinRate(pins[2]), 96000u);
    EXPECT_EQ(host.resetRequests.load(), 2);
}

#ifndef _WIN32
// The host thread inside setSampleRate, held in its SetEvent until the restart it asked for has
// its new pin playing.
std::atomic<DWORD> g_wakeLateThread{0};
void WakeLate(HANDLE) {
    DWORD self = GetCurrentThreadId();
    if (!g_wakeLateThread.compare_exchange_strong(self, 0))
        return;
    TestHost& host = TestHost::Get();
    EXPECT_TRUE(WaitUntil([] { return PinOpen(1); }));
    EXPECT_TRUE(host.WaitSwitches(host.switches.load() + 3));
}
#endif

// The host thread that asked for a restart wakes the stream late, after the streaming thread
// already made the new pin: the new stream plays on.
TEST_F(HostCallsTest, LateWakeOfARateChangeDoesNotEndTheNewStream) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the stand-in's SetEvent hook";
#else
    sim::SetWriteMode(sim::WriteMode::RealTime, 20);  // the thread waits between writes
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(5));
    posix::SetBeforeSetEventHook(&WakeLate);
    g_wakeLateThread.store(GetCurrentThreadId());
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    posix::SetBeforeSetEventHook(nullptr);
    EXPECT_EQ(g_wakeLateThread.load(), 0u);  // it was held
    const int before = host.switches.load();
    EXPECT_TRUE(host.WaitSwitches(before + 10, milliseconds(2000)));
    EXPECT_TRUE(PinOpen(1));
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(sim::Pins().size(), 2u);
#endif
}

// start from a switch returned ASE_OK; when the new pin then cannot be made the host hears of it
// once, with the reason in the error text; a start in its answer is told at once.
TEST_F(HostCallsTest, RestartThatCannotOpenItsPinAsksForAResetOnce) {
    host.inSwitch = [&](int k) {
        if (k == 5) {
            driver->stop();
            EXPECT_EQ(driver->start(), ASE_OK);
        }
    };
    host.inReset = [&] { EXPECT_EQ(driver->start(), ASE_NotPresent); };
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    sim::Match create{};
    create.op = sim::Op::CreatePin;
    sim::InjectFault(create, {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 1, 0});
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitUntil([&] { return host.resetRequests.load() >= 1; }));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(host.resetRequests.load(), 1);
    EXPECT_EQ(host.switches.load(), 5);
    EXPECT_EQ(driver->stop(), ASE_OK);  // the thread has ended: its text is read whole
    char text[128] = {};
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor No pins available for rendering");
    EXPECT_EQ(sim::Pins().size(), 1u);
}

TEST_F(HostCallsTest, ModeChangeWhilePlayingIsRefused) {
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(5));
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    EXPECT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_InvalidMode);
    format.FormatType = kASIOPCMFormat;
    EXPECT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);  // the same mode
    ASIOChannelInfo info{};
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(driver->stop(), ASE_OK);
    ASSERT_TRUE(WaitStreamEnd(driver));
    // A PCM stream ends in PCM silence.
    const sim::Bytes captured = sim::Captured();
    const std::size_t tail = 16 * 64 * 8;
    ASSERT_GE(captured.size(), tail);
    for (std::size_t i = captured.size() - tail; i < captured.size(); ++i)
        ASSERT_EQ(captured[i], 0) << i;
    format.FormatType = kASIODSDFormat;
    EXPECT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
}

// In the host's samples: one half in; out, the halves the margin keeps at the device, the half
// the host filled before, unless it says outputReady, and what the device holds.
TEST_F(HostCallsTest, LatenciesFollowTheBufferSizeMarginAndDevice) {
    AsioLong in = 0, out = 0;
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 1024);
    EXPECT_EQ(out, 2 * 1024);  // a fast device tells no part of its own
    // 256 frames last 5.8 ms at 44.1 kHz: the default 10 ms margin keeps two of them.
    ASSERT_EQ(CreateOutputs(driver, 2, 256), ASE_OK);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 256);
    EXPECT_EQ(out, 3 * 256);

    // The simulated DAC holds 40 ms: 1764 frames at 44.1 kHz. The host hears of it at start.
    sim::SetWriteMode(sim::WriteMode::RealTime, 40);
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(host.latencyChanges.load(), 1);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 256);
    EXPECT_EQ(out, 3 * 256 + 1764);
    EXPECT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(out, 3 * 256 + 1920);
    // A host that says when its half is done has it sent at once: one half less.
    EXPECT_EQ(driver->outputReady(), ASE_OK);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(out, 2 * 256 + 1920);

    // DSD: counted in DSD samples, 40 ms at DSD64 being 112896 of them; a half of 64 words
    // lasts 0.73 ms, so the margin keeps as many as the slots allow (13 beside the ready one).
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    SetIoFormat(driver, kASIODSDFormat);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    ASSERT_EQ(CreateOutputs(driver, 2, 2048), ASE_OK);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 2048);
    EXPECT_EQ(out, 13 * 2048 + 112896);
}

// A host reads the latencies once, after createBuffers: the device's part is in them already,
// and the start that follows brings no change.
TEST_F(HostCallsTest, LatenciesReadBeforeStartStayTrue) {
    sim::SetWriteMode(sim::WriteMode::RealTime, 40);
    ASSERT_EQ(CreateOutputs(driver, 2, 1024), ASE_OK);
    AsioLong in = 0, before = 0, after = 0;
    EXPECT_EQ(driver->getLatencies(&in, &before), ASE_OK);
    EXPECT_EQ(before, 2 * 1024 + 1764);
    EXPECT_EQ(sim::Pins().size(), 1u);  // made to learn it, and closed
    EXPECT_FALSE(sim::Pins()[0].open);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(3));
    EXPECT_EQ(driver->getLatencies(&in, &after), ASE_OK);
    EXPECT_EQ(after, before);
    EXPECT_EQ(host.latencyChanges.load(), 0);
    EXPECT_EQ(driver->stop(), ASE_OK);
}

std::uint64_t Joined(AsioULong hi, AsioULong lo) {
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

// getSamplePosition as a host asks it, inside its switches, recorded for each switch k (1-based)
// with the calls of the allocation hook it cost.
struct PositionsAsked {
    std::vector<std::pair<ASIOSamples, ASIOTimeStamp>> pairs;
    std::atomic<unsigned long> allocations{0};
    std::atomic<int> failures{0};
    PositionsAsked() { pairs.resize(1 << 12); }
    void Ask(IASIO* driver, int k) {
        if (k < 1 || static_cast<std::size_t>(k) > pairs.size())
            return;
        auto& [pos, stamp] = pairs[k - 1];
        const unsigned long before = alloc_test::Calls();
        if (driver->getSamplePosition(&pos, &stamp) != ASE_OK)
            failures.fetch_add(1);
        allocations.fetch_add(alloc_test::Calls() - before);
    }
};

// The position and time a host reads back inside bufferSwitchTimeInfo are the record's own, and
// reading them costs no device request and no allocation, from any thread.
TEST_F(HostCallsTest, SamplePositionIsThePairOfTheLatestSwitch) {
    sim::SetWriteMode(sim::WriteMode::RealTime, 20);  // a pace the host thread can ask beside
    host.supportsTimeInfo = 1;
    PositionsAsked asked;
    host.inSwitch = [&](int k) { asked.Ask(driver, k); };
    ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
    ASIOSamples pos{1, 1};
    ASIOTimeStamp stamp{1, 1};
    ASSERT_EQ(driver->getSamplePosition(&pos, &stamp), ASE_OK);
    EXPECT_EQ(pos.hi | pos.lo | stamp.hi | stamp.lo, 0u);  // nothing played yet

    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(10));
    const std::size_t properties = sim::Log(sim::Op::Property).size();
    const unsigned long allocations = alloc_test::Calls();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(driver->getSamplePosition(&pos, &stamp), ASE_OK);
    EXPECT_EQ(alloc_test::Calls(), allocations);
    ASSERT_TRUE(host.WaitSwitches(60));
    EXPECT_EQ(sim::Log(sim::Op::Property).size(), properties);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(asked.allocations.load(), 0u);
    EXPECT_EQ(asked.failures.load(), 0);

    const std::vector<Switch> log = host.log();
    ASSERT_GE(log.size(), 60u);
    for (std::size_t i = 0; i < 60; ++i) {
        const auto& [p, t] = asked.pairs[i];
        ASSERT_TRUE(log[i].timeInfo);
        EXPECT_EQ(Joined(p.hi, p.lo), Joined(log[i].position.hi, log[i].position.lo)) << i;
        EXPECT_EQ(Joined(t.hi, t.lo), Joined(log[i].systemTime.hi, log[i].systemTime.lo)) << i;
    }
    EXPECT_GT(Joined(log[59].position.hi, log[59].position.lo), 0u);

    // After stop the last switch's pair stays; a new stream counts from 0 again.
    ASSERT_EQ(driver->getSamplePosition(&pos, &stamp), ASE_OK);
    EXPECT_EQ(Joined(pos.hi, pos.lo), Joined(log.back().position.hi, log.back().position.lo));
    EXPECT_EQ(Joined(stamp.hi, stamp.lo),
              Joined(log.back().systemTime.hi, log.back().systemTime.lo));
    std::pair<ASIOSamples, ASIOTimeStamp> restarted{{1, 1}, {0, 0}};
    std::atomic<bool> restartAsked{false};
    host.inSwitch = [&](int) {
        if (!restartAsked.exchange(true))
            driver->getSamplePosition(&restarted.first, &restarted.second);
    };
    const int before = host.switches.load();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(before + 5));
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(Joined(restarted.first.hi, restarted.first.lo), 0u);
    EXPECT_NE(Joined(restarted.second.hi, restarted.second.lo), 0u);
}

// A host without time info reads the same engine count through bufferSwitch.
TEST_F(HostCallsTest, SamplePositionWithoutTimeInfoFollowsTheSwitches) {
    constexpr AsioLong n = 64;
    constexpr int kSwitches = 30;
    PositionsAsked asked;
    host.inSwitch = [&](int k) {
        asked.Ask(driver, k);
        if (k == kSwitches)
            driver->stop();
    };
    ASSERT_EQ(CreateOutputs(driver, 2, n), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(WaitUntil([] { return PinClosed(0); }));
    EXPECT_EQ(asked.allocations.load(), 0u);
    const int switches = host.switches.load();
    ASSERT_EQ(switches, kSwitches);
    for (int i = 0; i < switches; ++i) {
        const auto& [p, t] = asked.pairs[i];
        EXPECT_NE(Joined(t.hi, t.lo), 0u) << i;
        // Each write the device took between two switches is one half.
        if (i >= 4) {
            const auto& previous = asked.pairs[i - 1].first;
            EXPECT_EQ(Joined(p.hi, p.lo) - Joined(previous.hi, previous.lo),
                      static_cast<std::uint64_t>(n))
                << i;
        }
    }
    ASIOSamples pos{};
    ASIOTimeStamp stamp{};
    ASSERT_EQ(driver->getSamplePosition(&pos, &stamp), ASE_OK);
    const auto& [last, lastAt] = asked.pairs[switches - 1];
    EXPECT_EQ(Joined(pos.hi, pos.lo), Joined(last.hi, last.lo));
    EXPECT_EQ(Joined(stamp.hi, stamp.lo), Joined(lastAt.hi, lastAt.lo));
}

// A host's other thread asks all the time while streams start, stop and the device is opened
// again: every answer is a pair some switch published (a start's 0/0 never mixed with another).
TEST_F(HostCallsTest, SamplePositionReadWhileStreamsComeAndGo) {
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::atomic<long> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            ASIOSamples pos{};
            ASIOTimeStamp stamp{};
            if (driver->getSamplePosition(&pos, &stamp) != ASE_OK ||
                (Joined(stamp.hi, stamp.lo) == 0 && Joined(pos.hi, pos.lo) != 0)) {
                torn.fetch_add(1);
            }
            reads.fetch_add(1);
        }
    });
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
        const int before = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(before + 5));
        EXPECT_EQ(driver->stop(), ASE_OK);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace ferox::test
