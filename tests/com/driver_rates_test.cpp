// Sample rates, and the wave format record the render pin receives.
#include <cmath>
#include <cstring>
#include <limits>

#include "com/driver_fixture.h"

namespace ferox::test {
namespace {

using RatesTest = DriverTest;

TEST_F(RatesTest, OnlyFinitePositiveRatesAreTaken) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, inf, -inf, 0.0, -1.0}) {
        EXPECT_EQ(driver->canSampleRate(bad), ASE_NoClock) << bad;
        EXPECT_EQ(driver->setSampleRate(bad), ASE_NoClock) << bad;
    }
    double rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);
    // Before a device is open, any playable rate is worth a try.
    EXPECT_EQ(driver->canSampleRate(12345.0), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(2822400.0), ASE_OK);
}

// sampleRateDidChange tells of a clock that changed under the host: hosts reload the driver on
// it. A rate the host set itself is no such change, with buffers or without.
TEST_F(RatesTest, HostsOwnRateBringsNoRateChangeCallback) {
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}};
    ASSERT_EQ(Create(infos, 256), ASE_OK);
    const auto asked = Host().messages;
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    double rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 96000.0);
    driver->disposeBuffers();
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_TRUE(Host().rateChanges.empty());
    EXPECT_EQ(Host().messages, asked);  // not playing: nothing to rebuild either
}

struct FormatCase {
    ASIOIoFormatType mode;
    double rate;
    DWORD samplesPerSec;
};

class WaveFormatTest : public DriverTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(WaveFormatTest, RecordIsByteForByteTheCarrierFormat) {
    const FormatCase c = GetParam();
    SetIoFormat(c.mode);
    ASSERT_EQ(driver->setSampleRate(c.rate), ASE_OK);
    WAVEFORMATEXTENSIBLE wfx;
    std::memset(&wfx, 0x7e, sizeof wfx);
    Object().FillWaveFormat(&wfx);

    const DWORD n = c.samplesPerSec;
    const DWORD bytes = n * 4;
    const unsigned char expected[40] = {0xFE,
                                        0xFF,
                                        2,
                                        0,  // extensible, 2 channels
                                        static_cast<unsigned char>(n),
                                        static_cast<unsigned char>(n >> 8),
                                        static_cast<unsigned char>(n >> 16),
                                        static_cast<unsigned char>(n >> 24),
                                        static_cast<unsigned char>(bytes),
                                        static_cast<unsigned char>(bytes >> 8),
                                        static_cast<unsigned char>(bytes >> 16),
                                        static_cast<unsigned char>(bytes >> 24),
                                        4,
                                        0,
                                        32,
                                        0,
                                        22,
                                        0,  // block align, bits, cbSize
                                        32,
                                        0,  // valid bits
                                        3,
                                        0,
                                        0,
                                        0,  // front left | front right
                                        0x01,
                                        0x00,
                                        0x00,
                                        0x00,
                                        0x00,
                                        0x00,
                                        0x10,
                                        0x00,  // KSDATAFORMAT_SUBTYPE_PCM
                                        0x80,
                                        0x00,
                                        0x00,
                                        0xAA,
                                        0x00,
                                        0x38,
                                        0x9B,
                                        0x71};
    ASSERT_EQ(sizeof wfx, sizeof expected);
    EXPECT_EQ(std::memcmp(&wfx, expected, sizeof expected), 0);
    // The host still sees its own rate.
    double rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, c.rate);
}

INSTANTIATE_TEST_SUITE_P(Rates, WaveFormatTest,
                         ::testing::Values(FormatCase{kASIOPCMFormat, 44100.0, 44100},
                                           FormatCase{kASIOPCMFormat, 192000.0, 192000},
                                           FormatCase{kASIOPCMFormat, 44100.9, 44100},
                                           FormatCase{kASIODSDFormat, 2822400.0, 44100},
                                           FormatCase{kASIODSDFormat, 5644800.0, 88200},
                                           FormatCase{kASIOPCMFormat, 1e12, 0}));

}  // namespace
}  // namespace ferox::test
