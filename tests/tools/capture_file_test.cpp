// The simulated DAC's capture file, read back with feroxhost's own readers.
#include "sim/capture_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio_files.h"
#include "platform/device.h"
#include "sim/sim.h"

namespace ferox::sim {
namespace {

const HANDLE kPin = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5E100010u));
constexpr ULONG kPcm = 0x10000, kDsd = 0x8000, kDsdEnd = 0x8002;

std::string Path(const char* ext) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string p = ::testing::TempDir() + "ferox_capture_" + info->name() + ext;
    std::remove(p.c_str());
    return p;
}

// Creates the pin with the format as the driver sends it: KSDATAFORMAT, then the wave format.
void Create(CaptureFile& c, std::uint32_t carrierRate, ULONG mode = 0) {
    std::vector<BYTE> f(sizeof(KSDATAFORMAT) + 40, 0);
    std::memcpy(f.data() + sizeof(KSDATAFORMAT) + 4, &carrierRate, 4);
    c.PinCreated(kPin, f.data(), static_cast<ULONG>(f.size()));
    if (mode)
        c.VendorMode(kPin, mode);
}

struct ReadBack {
    host::FileSource file;
    host::AudioReader reader;
    host::AudioStatus status{host::AudioError::Io, ""};
    explicit ReadBack(const std::string& path) {
        if (file.Open(path, &status.message))
            status = reader.Open(file);
    }
};

TEST(CaptureFile, WavHoldsTheCarrierAsReceivedAndDsfTheDsdItCarries) {
    // 5000 frames: one full 4096-byte DSF block a channel and a padded one.
    const std::size_t frames = 5000;
    std::vector<BYTE> carrier(8 * frames), left, right;
    for (std::size_t i = 0; i < carrier.size(); ++i)
        carrier[i] = static_cast<BYTE>(i * 7 + i / 251);
    // The driver sends each channel's 32-bit word with its bytes reversed.
    for (std::size_t i = 0; i < carrier.size(); ++i)
        (i / 4 % 2 ? right : left).push_back(carrier[i ^ 3]);
    const struct {
        const char* ext;
        ULONG mode;
        std::uint32_t rate;
    } cases[] = {{".wav", kPcm, 96000}, {".wav", kDsd, 44100}, {".DSF", kDsd, 44100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ext << " " << c.mode);
        const std::string path = Path(c.ext);
        {
            CaptureFile capture(path);
            Create(capture, c.rate, c.mode);
            // Uneven pieces, as writes of any size would arrive.
            for (std::size_t at = 0, n = 3; at < carrier.size(); at += n, n = n * 7 % 9001 + 1) {
                n = std::min(n, carrier.size() - at);
                capture.Received(kPin, carrier.data() + at, n);
            }
            capture.Received(reinterpret_cast<HANDLE>(1), carrier.data(), 8);  // another pin's
            if (c.mode == kDsd)
                capture.VendorMode(kPin, kDsdEnd);  // end of stream: still DSD
            capture.PinClosed(kPin);
            EXPECT_FALSE(capture.Failed());
        }
        ReadBack back(path);
        ASSERT_TRUE(back.status.ok()) << back.status.message;
        const host::AudioInfo& info = back.reader.Info();
        if (c.ext[1] == 'w') {
            EXPECT_EQ(info.sampleRate, c.rate);
            EXPECT_EQ(info.channels, 2);
            EXPECT_EQ(info.bitsPerSample, 32);
            ASSERT_EQ(info.frames, frames);
            std::vector<std::int32_t> l(frames), r(frames), got;
            ASSERT_EQ(back.reader.ReadPcm(l.data(), r.data(), frames), frames);
            for (std::size_t i = 0; i < frames; ++i)
                got.insert(got.end(), {l[i], r[i]});
            EXPECT_EQ(std::memcmp(got.data(), carrier.data(), carrier.size()), 0);
        } else {
            EXPECT_EQ(info.sampleRate, 2822400u);
            ASSERT_EQ(info.frames, frames * 32);
            std::vector<BYTE> l(left.size()), r(right.size());
            ASSERT_EQ(back.reader.ReadDsd(l.data(), r.data(), l.size()), l.size());
            EXPECT_EQ(l, left);
            EXPECT_EQ(r, right);
        }
    }
}

TEST(CaptureFile, DsfOfAPcmStreamStaysUnwrittenAndANewPinStartsAfresh) {
    const std::string dsf = Path(".dsf"), wav = Path(".wav");
    std::vector<BYTE> carrier(64, 0x55);
    CaptureFile c(dsf), w(wav);
    Create(c, 44100, kPcm);
    c.Received(kPin, carrier.data(), carrier.size());
    c.PinClosed(kPin);
    EXPECT_EQ(std::fopen(dsf.c_str(), "rb"), nullptr);

    for (std::size_t bytes : {64u, 56u}) {
        Create(w, 44100);
        w.Received(kPin, carrier.data(), bytes);
        w.PinClosed(kPin);
    }
    ReadBack back(wav);
    ASSERT_TRUE(back.status.ok()) << back.status.message;
    EXPECT_EQ(back.reader.Info().frames, 7u);
}

TEST(CaptureFile, ReportsAFileItCannotWrite) {
    CaptureFile c(::testing::TempDir() + "no/such/folder/capture.wav");
    Create(c, 44100);
    EXPECT_TRUE(c.Failed());
    BYTE frame[8] = {};
    c.Received(kPin, frame, 8);
    c.PinClosed(kPin);
}

// A host plays for hours in the simulated-DAC DLL: nothing may grow with the time played.
TEST(CaptureFile, HostSetUpKeepsNeitherTheRequestLogNorTheStreamInMemory) {
    if (std::getenv("FEROX_SIM_CAPTURE") != nullptr)
        GTEST_SKIP() << "FEROX_SIM_CAPTURE is set";
    SetUpForHosts();
    DeviceApi& d = Device();
    HANDLE filter = d.CreateFileW(DefaultPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    struct {
        KSPIN_CONNECT c;
        KSDATAFORMAT f;
        WAVEFORMATEX w;
    } connect;
    std::memset(&connect, 0, sizeof(connect));
    connect.c.Interface = StandardInterface();
    connect.c.Medium = StandardMedium();
    connect.f.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    connect.f.MajorFormat = kKsDataFormatTypeAudio;
    connect.f.SubFormat = kKsDataFormatSubtypePcm;
    connect.f.Specifier = kKsDataFormatSpecifierWaveFormatEx;
    connect.w = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 8, 8, 32, 0};
    auto create = reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void (*)()>(d.GetProcAddress(
        d.LoadLibraryExW(WSTR("ksuser.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32),
        "KsCreatePin")));
    HANDLE pin = nullptr;
    ASSERT_EQ(create(filter, &connect.c, GENERIC_WRITE, &pin), 0u);
    BYTE data[64] = {1, 2, 3};
    KSSTREAM_HEADER h;
    std::memset(&h, 0, sizeof(h));
    h.Size = sizeof(h);
    h.Data = data;
    h.FrameExtent = h.DataUsed = sizeof(data);
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    d.DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &h, h.Size, &n, &ov);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(Pins().at(0).bytesReceived, sizeof(data));
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(Captured().empty());
    d.CloseHandle(pin);
    d.CloseHandle(filter);
    CloseHandle(ov.hEvent);
    Reset();
}

TEST(PinReport, GoesBesideTheCaptureUnlessNamedAndHoldsEveryFigure) {
    EXPECT_EQ(PinReportPath(nullptr, nullptr), "");
    EXPECT_EQ(PinReportPath("", ""), "");
    EXPECT_EQ(PinReportPath("C:\\a\\cap.wav", nullptr), "C:\\a\\cap.wav.txt");
    EXPECT_EQ(PinReportPath("C:\\a\\cap.wav", "r.txt"), "r.txt");
    EXPECT_EQ(PinReportPath(nullptr, "r.txt"), "r.txt");

    PinState s;
    s.bytesReceived = 5000000000ull;  // past 32 bits
    s.writes = 12;
    s.underruns = 3;
    s.maxWriteGapMs = 9.25;
    s.turnarounds = 11;
    s.turnaroundP99Us = 42;
    s.turnaroundMaxUs = 77.5;
    const std::string path = Path(".txt");
    ASSERT_TRUE(WritePinReport(path, s, 20));
    std::FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char text[512] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(text, n),
              "bytes=5000000000\nwrites=12\nunderruns=3\nmax_gap_ms=9.250\nturnarounds=11\n"
              "turnaround_p99_us=42.0\nturnaround_max_us=77.5\nbuffer_ms=20\n");
    EXPECT_FALSE(WritePinReport(::testing::TempDir() + "no/such/folder/r.txt", s, 40));
}

}  // namespace
}  // namespace ferox::sim
