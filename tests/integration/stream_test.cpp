// The driver end to end: init, buffers, start, switches, stop, against the simulated DAC.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "integration/test_host.h"
#include "sim/sim.h"

namespace ferox::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::uint32_t WordAt(const sim::Bytes& b, std::size_t byte) {
    std::uint32_t w;
    std::memcpy(&w, b.data() + byte, 4);
    return w;
}

class StreamTest : public DriverStreamTest {
  protected:
    // init, buffers and start; the stream then runs until Stop.
    void Start(int outputs, AsioLong size) {
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(CreateOutputs(driver, outputs, size), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
    }
    // Stops and returns how long stop took.
    milliseconds Stop() {
        const auto t0 = steady_clock::now();
        EXPECT_EQ(driver->stop(), ASE_OK);
        return std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0);
    }
};

// Every fill of the host reaches the device once, in order, its pre-fill first and its last fill
// before stop included, then 16 silent writes.
TEST_F(StreamTest, PcmWordsPassBitExactInFillOrder) {
    TestHost& host = TestHost::Get();
    const AsioLong n = 256;
    Start(2, n);
    ASSERT_TRUE(host.WaitSwitches(40));
    Stop();
    const int fills = host.switches.load();
    ASSERT_TRUE(WaitStreamEnd(driver));
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x10000, 0x8002}));
    const sim::Bytes captured = sim::Captured();
    const std::size_t writeBytes = n * 8;
    ASSERT_EQ(captured.size() % writeBytes, 0u);
    const std::size_t writes = captured.size() / writeBytes;
    ASSERT_GT(writes, 16u + 3u);
    const std::size_t audible = writes - 16;
    EXPECT_EQ(audible, static_cast<std::size_t>(fills) + 1);
    for (std::size_t k = 0; k < audible; ++k) {
        for (AsioLong i = 0; i < n; ++i) {
            const std::size_t at = k * writeBytes + static_cast<std::size_t>(i) * 8;
            ASSERT_EQ(WordAt(captured, at),
                      static_cast<std::uint32_t>(TestHost::Word(int(k), 0, i)))
                << "write " << k << " word " << i;
            ASSERT_EQ(WordAt(captured, at + 4),
                      static_cast<std::uint32_t>(TestHost::Word(int(k), 1, i)));
        }
    }
    for (std::size_t at = audible * writeBytes; at < captured.size(); at += 4) {
        ASSERT_EQ(WordAt(captured, at), 0u) << at;
    }
    // The host was handed halves 0, 1, 0, 1, ... and nothing else.
    const std::vector<Switch> log = host.log();
    for (std::size_t i = 0; i < log.size(); ++i) {
        ASSERT_EQ(log[i].index, static_cast<AsioLong>(i % 2)) << i;
        ASSERT_FALSE(log[i].timeInfo);
    }
    // Each write carried one half.
    for (const sim::Logged& w : sim::Log(sim::Op::WriteStream)) {
        KSSTREAM_HEADER header;
        ASSERT_EQ(w.out.size(), sizeof header);
        std::memcpy(&header, w.out.data(), sizeof header);
        EXPECT_EQ(header.Size, sizeof header);
        EXPECT_EQ(header.DataUsed, writeBytes);
        EXPECT_EQ(header.FrameExtent, writeBytes);
        EXPECT_EQ(header.PresentationTime.Numerator, 1u);
        EXPECT_EQ(header.PresentationTime.Denominator, 1u);
    }
}

TEST_F(StreamTest, DsdWordsReachTheDeviceByteReversed) {
    TestHost& host = TestHost::Get();
    host.fillDsdPattern = true;
    SetIoFormat(driver, kASIODSDFormat);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    Start(2, 2048);  // 64 words a half
    ASSERT_TRUE(host.WaitSwitches(20));
    Stop();
    ASSERT_TRUE(WaitStreamEnd(driver));
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x8000, 0x8002}));
    const std::vector<sim::PinState> pins = sim::Pins();
    ASSERT_EQ(pins.size(), 1u);
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, pins[0].connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT),
                sizeof wfx);
    EXPECT_EQ(wfx.nSamplesPerSec, 44100u);  // the carrier: DSD64 / 64
    const sim::Bytes captured = sim::Captured();
    const std::size_t writeBytes = 64 * 8;
    const std::size_t audible = captured.size() / writeBytes - 16;
    const unsigned char reversed[4] = {0x04, 0x03, 0x02, 0x01};
    for (std::size_t at = 0; at < audible * writeBytes; at += 4) {
        ASSERT_EQ(std::memcmp(captured.data() + at, reversed, 4), 0) << at;
    }
    for (std::size_t at = audible * writeBytes; at < captured.size(); at += 4) {
        ASSERT_EQ(WordAt(captured, at), 0xAAAAAAAAu) << at;
    }
}

TEST_F(StreamTest, OneOutputPlaysOnBothSides) {
    TestHost& host = TestHost::Get();
    Start(1, 128);
    ASSERT_TRUE(host.WaitSwitches(10));
    Stop();
    const sim::Bytes captured = sim::Captured();
    ASSERT_FALSE(captured.empty());
    for (std::size_t at = 0; at < captured.size(); at += 8) {
        ASSERT_EQ(WordAt(captured, at), WordAt(captured, at + 4)) << at;
    }
    EXPECT_EQ(WordAt(captured, 0), static_cast<std::uint32_t>(TestHost::Word(0, 0, 0)));
}

// Left is channel 0 and right channel 1, whatever order the host lists them in; a lone channel 0
// is mono on both sides, a lone channel 1 the right speaker only.
TEST_F(StreamTest, SidesFollowTheChannelNumbers) {
    constexpr std::uint32_t kSilent = 0xFFFFFFFFu;  // a side that must be silent
    struct Case {
        std::vector<AsioLong> channels;
        std::uint32_t left, right;  // the entry heard on each side, or kSilent
    };
    const Case cases[] = {{{0, 1}, 0, 1}, {{1, 0}, 1, 0}, {{0}, 0, 0}, {{1}, kSilent, 0}};
    TestHost& host = TestHost::Get();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.channels));
        sim::ClearCapture();
        host.switches = 0;
        ASSERT_EQ(CreateOutputChannels(driver, c.channels, 64), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(5));
        Stop();
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
        ASSERT_TRUE(WaitStreamEnd(driver));  // its tail is not the next case's
        const sim::Bytes captured = sim::Captured();
        ASSERT_GE(captured.size(), 64u * 8);
        // The first write carries the host's pre-fill.
        for (AsioLong i = 0; i < 64; ++i) {
            const std::size_t at = static_cast<std::size_t>(i) * 8;
            const auto heard = [&](std::uint32_t entry) {
                return entry == kSilent ? 0u
                                        : static_cast<std::uint32_t>(
                                              TestHost::Word(0, static_cast<int>(entry), i));
            };
            ASSERT_EQ(WordAt(captured, at), heard(c.left)) << i;
            ASSERT_EQ(WordAt(captured, at + 4), heard(c.right)) << i;
        }
    }
}

TEST_F(StreamTest, NoActiveOutputStreamsSilence) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    static ASIOCallbacks callbacks = TestHost::Get().Callbacks();
    ASIOBufferInfo input{ASIOTrue, 0, {}};
    ASSERT_EQ(driver->createBuffers(&input, 1, 64, &callbacks), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(10));
    Stop();
    const sim::Bytes captured = sim::Captured();
    ASSERT_FALSE(captured.empty());
    for (std::size_t at = 0; at < captured.size(); at += 4)
        ASSERT_EQ(WordAt(captured, at), 0u);
}

// 256 frames last 5.8 ms at 44.1 kHz: the default 10 ms margin keeps two writes at the device.
TEST_F(StreamTest, WritesInFlightFollowTheMarginAtRealTimePace) {
    sim::SetWriteMode(sim::WriteMode::RealTime, 40);
    TestHost& host = TestHost::Get();
    Start(2, 256);
    const auto t0 = steady_clock::now();
    ASSERT_TRUE(host.WaitSwitches(30));
    unsigned mostPending = 0;
    while (host.switches.load() < 40) {
        for (const sim::PinState& p : sim::Pins())
            mostPending = std::max(mostPending, p.writesPending);
        std::this_thread::sleep_for(milliseconds(1));
    }
    const auto elapsed = steady_clock::now() - t0;
    EXPECT_LE(Stop(), milliseconds(1000));
    EXPECT_LE(mostPending, 2u);
    // 40 writes of 256 frames at 44.1 kHz take about 230 ms once the device buffer is full.
    EXPECT_GT(elapsed, milliseconds(100));
    ASSERT_TRUE(WaitStreamEnd(driver));
    EXPECT_EQ(sim::Pins()[0].underruns, 0u);
}

// A host whose callback takes longer than the device holds: the device gives back every write at
// once, and the host that takes kAsioOverload is told so; the window counts it.
TEST_F(StreamTest, ADeviceRunDryIsToldAsAnOverload) {
    sim::SetWriteMode(sim::WriteMode::RealTime, 10);
    TestHost& host = TestHost::Get();
    EXPECT_EQ(driver->future(kAsioCanReportOverload, nullptr), ASE_SUCCESS);
    host.inSwitch = [&](int k) {
        if (k == 60)
            std::this_thread::sleep_for(milliseconds(60));
    };
    Start(2, 256);  // two writes of 5.8 ms at the device
    ASSERT_TRUE(host.WaitSwitches(100));
    EXPECT_GE(host.overloads.load(), 1);
    EXPECT_EQ(static_cast<ASIOPellinor*>(driver)->ReadStatus().overloads,
              static_cast<unsigned>(host.overloads.load()));
    Stop();
    host.inSwitch = nullptr;
}

TEST_F(StreamTest, TimeInfoCarriesPositionRateChangeAndTimeCode) {
    TestHost& host = TestHost::Get();
    host.supportsTimeInfo = 1;
    ASSERT_EQ(driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    const AsioLong n = 128;
    Start(2, n);
    ASSERT_TRUE(host.WaitSwitches(10));
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    const int at = host.switches.load();
    ASSERT_TRUE(host.WaitSwitches(at + 10));
    Stop();
    const std::vector<Switch> log = host.log();
    int changed = 0;
    std::size_t firstChanged = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        ASSERT_TRUE(log[i].timeInfo);
        EXPECT_EQ(log[i].flags & 7u, 7u);
        if (log[i].flags & kSampleRateChanged) {
            if (changed++ == 0)
                firstChanged = i;
        }
        EXPECT_EQ(log[i].timeCode.hi, 0u);
    }
    EXPECT_EQ(changed, 1);
    // The time code runs 600 s ahead of the position: at 48000 Hz, lo + 28800000.
    for (std::size_t i = 0; i < firstChanged && i < log.size(); ++i) {
        EXPECT_EQ(log[i].timeCode.lo, log[i].position.lo + 28800000u) << i;
    }
    // The position moves one half a switch.
    for (std::size_t i = 4; i < firstChanged; ++i) {
        EXPECT_EQ(log[i].position.lo - log[i - 1].position.lo, static_cast<AsioULong>(n)) << i;
    }
}

TEST_F(StreamTest, SamplePositionCountsHostSamples) {
    sim::SetWriteMode(sim::WriteMode::RealTime, 40);
    SetIoFormat(driver, kASIODSDFormat);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    Start(2, 4096);  // 128 words a half
    ASSERT_TRUE(TestHost::Get().WaitSwitches(8));
    ASIOSamples pos{};
    ASIOTimeStamp stamp{};
    ASSERT_EQ(driver->getSamplePosition(&pos, &stamp), ASE_OK);
    EXPECT_GT(pos.lo, 0u);
    EXPECT_EQ(pos.lo % 32, 0u);  // whole carrier frames of 32 DSD samples
    EXPECT_NE(stamp.lo | stamp.hi, 0u);
    const sim::PinState pin = sim::Pins()[0];
    EXPECT_LE(pos.lo, static_cast<AsioULong>(pin.position.WriteOffset / 8 * 32));
    Stop();
}

TEST_F(StreamTest, StartStopCycles) {
    TestHost& host = TestHost::Get();
    Start(2, 64);
    EXPECT_EQ(driver->start(), ASE_OK);  // already streaming: nothing changes
    ASSERT_TRUE(host.WaitSwitches(5));
    Stop();
    for (int i = 0; i < 3; ++i) {
        const int before = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(before + 5));
        Stop();
    }
    EXPECT_EQ(sim::Pins().size(), 4u);
    EXPECT_TRUE(WaitStreamEnd(driver));
    EXPECT_EQ(driver->stop(), ASE_OK);  // stop without a stream
}

TEST_F(StreamTest, DisposeDuringASwitchWaitsForIt) {
    TestHost& host = TestHost::Get();
    Start(2, 64);
    ASSERT_TRUE(host.WaitSwitches(3));
    host.sleepInSwitchMs = 30;
    std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    const int after = host.switches.load();
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(host.switches.load(), after);  // nothing after dispose
    EXPECT_TRUE(WaitStreamEnd(driver));
}

TEST_F(StreamTest, InitWhileStreamingStopsTheStreamFirst) {
    TestHost& host = TestHost::Get();
    Start(2, 64);
    ASSERT_TRUE(host.WaitSwitches(3));
    // The filter opens again while the driver still holds it, as a KS filter allows.
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    char text[128];
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "");
    EXPECT_FALSE(sim::Pins()[0].open);
    ASSERT_EQ(driver->start(), ASE_OK);
    const int before = host.switches.load();
    ASSERT_TRUE(host.WaitSwitches(before + 3));
    Stop();
}

TEST_F(StreamTest, CanSampleRateAsksTheDeviceOnceOpen) {
    EXPECT_EQ(driver->canSampleRate(12345.0), ASE_OK);  // not open yet
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(768000.0), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(22050.0), ASE_NoClock);
    EXPECT_EQ(driver->canSampleRate(1536000.0), ASE_NoClock);
    SetIoFormat(driver, kASIODSDFormat);
    EXPECT_EQ(driver->canSampleRate(2822400.0), ASE_OK);     // carrier 44100
    EXPECT_EQ(driver->canSampleRate(45158400.0), ASE_OK);    // DSD1024, carrier 705600
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);  // carrier 689
}

// A second host that only counts: the test host fills the first driver's buffers.
std::atomic<int> g_secondSwitches{0};
void ASIO_CALLBACK SecondSwitch(AsioLong, ASIOBool) {
    g_secondSwitches.fetch_add(1);
}
void ASIO_CALLBACK SecondRate(ASIOSampleRate) {}
AsioLong ASIO_CALLBACK SecondMessage(AsioLong, AsioLong, void*, double*) {
    return 0;
}
ASIOTime* ASIO_CALLBACK SecondSwitchTimeInfo(ASIOTime*, AsioLong, ASIOBool) {
    return nullptr;
}

// Two programs, one DAC: the render pin has one instance. The second is told why it cannot
// play, the first plays on undisturbed, and once it stops the second can.
TEST_F(StreamTest, SecondHostFindsTheDacBusy) {
    TestHost& host = TestHost::Get();
    g_secondSwitches = 0;
    IASIO* second = CreateDriver();
    ASSERT_NE(second, nullptr);
    Start(2, 64);
    ASSERT_EQ(second->init(nullptr), ASIOTrue);
    ASIOCallbacks callbacks{&SecondSwitch, &SecondRate, &SecondMessage, &SecondSwitchTimeInfo};
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    ASSERT_EQ(second->createBuffers(&info, 1, 128, &callbacks), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(10));
    EXPECT_EQ(second->start(), ASE_NotPresent);
    char text[128];
    second->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor DAC in use by another program");
    const int before = host.switches.load();
    ASSERT_TRUE(host.WaitSwitches(before + 20));
    std::vector<sim::PinState> pins = sim::Pins();
    ASSERT_EQ(pins.size(), 1u);
    EXPECT_TRUE(pins[0].open);
    EXPECT_EQ(g_secondSwitches.load(), 0);

    Stop();
    // Free once the first stream's silent tail is played.
    ASSERT_TRUE(WaitStreamEnd(driver));
    ASSERT_EQ(second->start(), ASE_OK);
    const auto deadline = steady_clock::now() + milliseconds(5000);
    while (g_secondSwitches.load() < 20 && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_GE(g_secondSwitches.load(), 20);
    EXPECT_EQ(second->stop(), ASE_OK);
    pins = sim::Pins();
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[1].bytesReceived % (128 * 8), 0u);
    EXPECT_EQ(second->Release(), 0u);
}

}  // namespace
}  // namespace ferox::test
