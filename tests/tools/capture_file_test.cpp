// The simulated DAC's capture file, read back with feroxhost's own readers.
#include "sim/capture_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "audio_files.h"

namespace ferox::sim {
namespace {

using host::AudioReader;
using host::FileSource;

// The pin-creation format as the driver sends it: KSDATAFORMAT, then the wave format.
std::vector<BYTE> Format(std::uint32_t carrierRate) {
    std::vector<BYTE> f(sizeof(KSDATAFORMAT) + 40, 0);
    std::memcpy(f.data() + sizeof(KSDATAFORMAT) + 4, &carrierRate, 4);
    return f;
}

class CaptureFileTest : public ::testing::Test {
  protected:
    std::string Path(const char* ext) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string p = ::testing::TempDir() + "ferox_capture_" + info->name() + ext;
        std::remove(p.c_str());
        return p;
    }
    // Feeds the carrier in uneven pieces, as writes of any size would arrive.
    static void Feed(CaptureFile& c, HANDLE pin, const std::vector<BYTE>& carrier) {
        std::size_t at = 0;
        for (std::size_t step = 3; at < carrier.size(); step = step * 7 % 9001 + 1) {
            const std::size_t n = std::min(step, carrier.size() - at);
            c.Received(pin, carrier.data() + at, n);
            at += n;
        }
    }
    HANDLE pin = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5E100010u));
};

TEST_F(CaptureFileTest, WavHoldsTheCarrierAsReceivedInEitherMode) {
    for (ULONG mode : {0x10000ul, 0x8000ul}) {
        const std::string path = Path(".wav");
        std::vector<BYTE> carrier(8 * 3001);
        for (std::size_t i = 0; i < carrier.size(); ++i)
            carrier[i] = static_cast<BYTE>(i * 13 + mode);
        {
            CaptureFile c(path);
            const auto f = Format(mode == 0x8000 ? 44100 : 96000);
            c.PinCreated(pin, f.data(), static_cast<ULONG>(f.size()));
            c.VendorMode(pin, mode);
            Feed(c, pin, carrier);
            c.Received(reinterpret_cast<HANDLE>(1), carrier.data(), 8);  // another pin's
            c.PinClosed(pin);
            EXPECT_FALSE(c.Failed());
        }
        FileSource file;
        std::string why;
        ASSERT_TRUE(file.Open(path, &why)) << why;
        AudioReader r;
        ASSERT_TRUE(r.Open(file).ok()) << r.Status().message;
        EXPECT_EQ(r.Info().sampleRate, mode == 0x8000 ? 44100u : 96000u);
        EXPECT_EQ(r.Info().channels, 2);
        EXPECT_EQ(r.Info().bitsPerSample, 32);
        ASSERT_EQ(r.Info().frames, 3001u);
        std::vector<std::int32_t> l(3001), rr(3001);
        ASSERT_EQ(r.ReadPcm(l.data(), rr.data(), 3001), 3001u);
        std::int32_t first[2];
        std::memcpy(first, carrier.data() + 8 * 3000, 8);
        EXPECT_EQ(l[3000], first[0]);
        EXPECT_EQ(rr[3000], first[1]);
    }
}

TEST_F(CaptureFileTest, DsfRecoversTheDsdBytesOfEachChannel) {
    const std::string path = Path(".DSF");
    // 5000 frames: one full 4096-byte block a channel and a padded one.
    const std::size_t frames = 5000;
    std::vector<BYTE> left(4 * frames), right(4 * frames), carrier;
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = static_cast<BYTE>(i * 7 + 1);
        right[i] = static_cast<BYTE>(i * 11 + 2);
    }
    // The driver sends each channel's 32-bit word with its bytes reversed.
    for (std::size_t f = 0; f < frames; ++f) {
        for (const auto* ch : {&left, &right}) {
            for (int b = 3; b >= 0; --b)
                carrier.push_back((*ch)[4 * f + b]);
        }
    }
    {
        CaptureFile c(path);
        const auto f = Format(44100);
        c.PinCreated(pin, f.data(), static_cast<ULONG>(f.size()));
        c.VendorMode(pin, 0x8000);
        Feed(c, pin, carrier);
        c.VendorMode(pin, 0x8002);  // end of stream: still DSD
        c.PinClosed(pin);
        EXPECT_FALSE(c.Failed());
    }
    FileSource file;
    std::string why;
    ASSERT_TRUE(file.Open(path, &why)) << why;
    AudioReader r;
    ASSERT_TRUE(r.Open(file).ok()) << r.Status().message;
    EXPECT_EQ(r.Info().sampleRate, 2822400u);
    ASSERT_EQ(r.Info().frames, frames * 32);
    std::vector<BYTE> l(left.size()), rr(right.size());
    ASSERT_EQ(r.ReadDsd(l.data(), rr.data(), l.size()), l.size());
    EXPECT_EQ(l, left);
    EXPECT_EQ(rr, right);
}

TEST_F(CaptureFileTest, DsfOfAPcmStreamStaysUnwrittenAndANewPinStartsAfresh) {
    const std::string path = Path(".dsf");
    const auto f = Format(44100);
    std::vector<BYTE> carrier(64, 0x55);
    CaptureFile c(path);
    c.PinCreated(pin, f.data(), static_cast<ULONG>(f.size()));
    c.VendorMode(pin, 0x10000);
    c.Received(pin, carrier.data(), carrier.size());
    c.PinClosed(pin);
    EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr);

    const std::string wav = Path(".wav");
    CaptureFile w(wav);
    for (std::size_t frames : {100u, 7u}) {
        w.PinCreated(pin, f.data(), static_cast<ULONG>(f.size()));
        w.Received(pin, carrier.data(), 8 * frames > carrier.size() ? carrier.size() : 8 * frames);
        w.PinClosed(pin);
    }
    FileSource file;
    std::string why;
    ASSERT_TRUE(file.Open(wav, &why)) << why;
    AudioReader r;
    ASSERT_TRUE(r.Open(file).ok());
    EXPECT_EQ(r.Info().frames, 7u);
}

TEST_F(CaptureFileTest, ReportsAFileItCannotWrite) {
    CaptureFile c(::testing::TempDir() + "no/such/folder/capture.wav");
    const auto f = Format(44100);
    c.PinCreated(pin, f.data(), static_cast<ULONG>(f.size()));
    EXPECT_TRUE(c.Failed());
    BYTE frame[8] = {};
    c.Received(pin, frame, 8);
    c.PinClosed(pin);
}

}  // namespace
}  // namespace ferox::sim
