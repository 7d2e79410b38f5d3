#include "audio_files.h"

#include <gtest/gtest.h>

#include <cstring>

namespace ferox::host {
namespace {

struct Opened {
    Bytes bytes;
    MemorySource source{bytes};
    AudioReader reader;
    AudioStatus status;
    explicit Opened(Bytes b) : bytes(std::move(b)), source(bytes) { status = reader.Open(source); }
};

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes Ramp(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 37 + seed);
    return b;
}

// ---- WAV

TEST(WavReader, WidensEachDepthToLeftJustified32Bits) {
    const std::vector<std::int32_t> samples = {0x12345678, -0x12345678, 0x7FFFFFFF,
                                               static_cast<std::int32_t>(0x80000000)};
    for (std::uint16_t bits : {16, 24, 32}) {
        SCOPED_TRACE(bits);
        Opened f(MakeWav(48000, 2, bits, samples));
        ASSERT_TRUE(f.status.ok()) << f.status.message;
        EXPECT_EQ(f.reader.Info().sampleRate, 48000u);
        EXPECT_EQ(f.reader.Info().frames, 2u);
        std::int32_t l[4], r[4];
        ASSERT_EQ(f.reader.ReadPcm(l, r, 4), 2u);
        const std::uint32_t keep = ~0u << (32 - bits);
        EXPECT_EQ(static_cast<std::uint32_t>(l[0]), 0x12345678u & keep);
        EXPECT_EQ(static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(-0x12345678) & keep);
        EXPECT_EQ(static_cast<std::uint32_t>(l[1]), 0x7FFFFFFFu & keep);
        EXPECT_EQ(static_cast<std::uint32_t>(r[1]), 0x80000000u);
        EXPECT_EQ(f.reader.ReadPcm(l, r, 4), 0u);
        EXPECT_TRUE(f.reader.Status().ok());
    }
}

TEST(WavReader, MonoPlaysOnBothSides) {
    Opened f(MakeWav(44100, 1, 16, {0x10000, 0x20000, 0x30000}));
    ASSERT_TRUE(f.status.ok());
    std::int32_t l[3], r[3];
    ASSERT_EQ(f.reader.ReadPcm(l, r, 3), 3u);
    EXPECT_EQ(l[2], 0x30000);
    EXPECT_EQ(r[2], 0x30000);
}

TEST(WavReader, SkipsOtherChunksWithTheirPadByte) {
    Bytes wav = MakeWav(44100, 2, 32, {1, 2});
    // An odd-sized LIST chunk between fmt and data, padded to even length.
    const Bytes list = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
    wav.insert(wav.begin() + 36, list.begin(), list.end());
    Opened f(wav);
    ASSERT_TRUE(f.status.ok()) << f.status.message;
    std::int32_t l, r;
    ASSERT_EQ(f.reader.ReadPcm(&l, &r, 1), 1u);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(r, 2);
}

TEST(WavReader, TakesExtensiblePcmAndRefusesExtensibleFloat) {
    Bytes wav = MakeWav(96000, 2, 24, {1 << 8, 2 << 8});
    // Rebuild the fmt chunk as a 40-byte WAVE_FORMAT_EXTENSIBLE.
    Bytes ext(wav.begin(), wav.begin() + 20);
    Put32(ext, 16, 40);
    Bytes fmt(wav.begin() + 20, wav.begin() + 36);
    fmt[0] = 0xFE;
    fmt[1] = 0xFF;
    const Bytes tail = {22, 0, 24,   0, 3,    0, 0, 0,    1, 0,    0,    0,
                        0,  0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    ext.insert(ext.end(), fmt.begin(), fmt.end());
    ext.insert(ext.end(), tail.begin(), tail.end());
    ext.insert(ext.end(), wav.begin() + 36, wav.end());
    Put32(ext, 4, static_cast<std::uint32_t>(ext.size() - 8));
    {
        Opened f(ext);
        ASSERT_TRUE(f.status.ok()) << f.status.message;
        EXPECT_EQ(f.reader.Info().bitsPerSample, 24);
    }
    ext[20 + 24] = 3;  // sub-format IEEE float
    Opened f(ext);
    EXPECT_EQ(f.status.error, AudioError::Unsupported);
}

TEST(WavReader, NamesWhatItCannotPlay) {
    Bytes wav = MakeWav(44100, 2, 16, {0, 0});
    struct Case {
        std::size_t at;
        std::uint16_t value;
        AudioError error;
    };
    const Case cases[] = {
        {20, 3, AudioError::Unsupported},     // float
        {20, 0x55, AudioError::Unsupported},  // MP3 in WAV
        {34, 8, AudioError::Unsupported},     // 8-bit
        {22, 6, AudioError::Unsupported},     // 5.1
        {22, 0, AudioError::Corrupt},         // no channels
        {32, 3, AudioError::Corrupt},         // block alignment that fits no frame
    };
    for (const Case& c : cases) {
        Bytes b = wav;
        b[c.at] = static_cast<std::uint8_t>(c.value);
        b[c.at + 1] = static_cast<std::uint8_t>(c.value >> 8);
        if (c.at == 22 && c.value == 6) {
            b[32] = 12;  // block alignment of six 16-bit channels
        }
        Opened f(b);
        EXPECT_EQ(f.status.error, c.error) << "byte " << c.at << ": " << f.status.message;
        EXPECT_FALSE(f.status.message.empty());
    }
}

TEST(WavReader, RefusesBrokenStructure) {
    const Bytes wav = MakeWav(44100, 2, 16, {1, 2, 3, 4});
    {
        Opened f(Bytes(wav.begin(), wav.end() - 2));  // data chunk longer than the file
        EXPECT_EQ(f.status.error, AudioError::Truncated) << f.status.message;
    }
    {
        Opened f(Bytes(wav.begin(), wav.begin() + 30));  // ends inside fmt
        EXPECT_EQ(f.status.error, AudioError::Truncated) << f.status.message;
    }
    {
        Bytes b = wav;
        Put32(b, 40, 6);  // data ends inside a frame
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Truncated);
    }
    {
        Bytes b = wav;
        std::memcpy(b.data() + 12, "junk", 4);  // no fmt at all
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Corrupt);
    }
    {
        Bytes b = wav;
        std::memcpy(b.data() + 8, "AVI ", 4);
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Corrupt);
    }
    {
        Bytes b = wav;
        Put32(b, 16, 0xFFFFFFF0u);  // fmt size past the end of the file
        Opened f(b);
        EXPECT_NE(f.status.error, AudioError::None);
    }
}

TEST(AudioReader, RefusesFilesOfNoKnownKind) {
    for (const char* text :
         {"", "ID3", "ID3\x04\x00 mp3 data", "fLaC\0\0\0\"", "FORM\0\0\0\0AIFF"}) {
        Opened f(Bytes(text, text + std::strlen(text) + (text[0] == 'F' ? 12 : 0)));
        EXPECT_EQ(f.status.error, AudioError::Unsupported) << text;
        std::int32_t l, r;
        std::uint8_t a, b;
        EXPECT_EQ(f.reader.ReadPcm(&l, &r, 1), 0u);
        EXPECT_EQ(f.reader.ReadDsd(&a, &b, 1), 0u);
    }
}

// ---- DSF and DFF

TEST(DsdReaders, GiveBackTheBytesMsbFirstAcrossBlocksInAnyReadSize) {
    // 10000 bytes a channel: two full 4096-byte DSF blocks and a padded third.
    const std::vector<Bytes> ch = {Ramp(10000, 1), Ramp(10000, 99)};
    for (const Bytes& file : {MakeDsf(2822400, ch, 10000 * 8), MakeDff(2822400, ch)}) {
        for (std::size_t step : {1u, 1000u, 4096u, 5000u, 20000u}) {
            Opened f(file);
            ASSERT_TRUE(f.status.ok()) << f.status.message;
            EXPECT_EQ(f.reader.Info().sampleRate, 2822400u);
            EXPECT_EQ(f.reader.Info().frames, 80000u);
            Bytes l(step), r(step), gotL, gotR;
            while (std::size_t n = f.reader.ReadDsd(l.data(), r.data(), step)) {
                gotL.insert(gotL.end(), l.begin(), l.begin() + n);
                gotR.insert(gotR.end(), r.begin(), r.begin() + n);
            }
            EXPECT_EQ(gotL, ch[0]) << ContainerName(f.reader.Info().container) << " step " << step;
            EXPECT_EQ(gotR, ch[1]);
        }
    }
}

TEST(DsdReaders, MonoPlaysOnBothSides) {
    const std::vector<Bytes> ch = {Ramp(100, 5)};
    for (const Bytes& file : {MakeDsf(5644800, ch, 800), MakeDff(5644800, ch)}) {
        Opened f(file);
        ASSERT_TRUE(f.status.ok()) << f.status.message;
        Bytes l(100), r(100);
        ASSERT_EQ(f.reader.ReadDsd(l.data(), r.data(), 100), 100u);
        EXPECT_EQ(l, ch[0]);
        EXPECT_EQ(r, ch[0]);
    }
}

TEST(DsfReader, ReadsMsbFirstFilesAndLastBlocksCutShort) {
    const std::vector<Bytes> ch = {Ramp(100, 3), Ramp(100, 4)};
    Bytes dsf = MakeDsf(2822400, ch, 800);
    {
        // One bit per sample is LSB first; eight means the bytes are already MSB first.
        Bytes b = dsf;
        b[28 + 32] = 8;
        Opened f(b);
        ASSERT_TRUE(f.status.ok());
        Bytes l(100), r(100);
        f.reader.ReadDsd(l.data(), r.data(), 100);
        EXPECT_EQ(l[1], dsf[92 + 1]);
    }
    {
        // A writer that stops the right channel's last block after its samples.
        Opened f(Bytes(dsf.begin(), dsf.end() - (4096 - 100)));
        ASSERT_TRUE(f.status.ok()) << f.status.message;
        Bytes l(100), r(100);
        ASSERT_EQ(f.reader.ReadDsd(l.data(), r.data(), 100), 100u);
        EXPECT_EQ(r, ch[1]);
    }
    {
        Opened f(Bytes(dsf.begin(), dsf.end() - 4096));  // right channel's block missing
        EXPECT_EQ(f.status.error, AudioError::Truncated) << f.status.message;
    }
}

TEST(DsfReader, RefusesBrokenHeaders) {
    const Bytes dsf = MakeDsf(2822400, {Ramp(10, 0), Ramp(10, 1)}, 80);
    struct Case {
        std::size_t at;
        std::uint32_t value;
        AudioError error;
    };
    const Case cases[] = {
        {4, 27, AudioError::Corrupt},           // DSD chunk size
        {28 + 16, 1, AudioError::Unsupported},  // compressed
        {28 + 12, 2, AudioError::Unsupported},  // format version
        {28 + 24, 0, AudioError::Corrupt},      // no channels
        {28 + 24, 6, AudioError::Unsupported},  // 5.1
        {28 + 28, 0, AudioError::Corrupt},      // rate 0
        {28 + 32, 4, AudioError::Corrupt},      // bits per sample
        {28 + 44, 0, AudioError::Corrupt},      // block size 0
        {28 + 44, 0x7FFFFFFF, AudioError::Corrupt},
        {28 + 36, 0xFFFFFFFF, AudioError::Corrupt},  // more samples than the data chunk holds
        {80, 0x61746164 ^ 1, AudioError::Corrupt},   // data chunk id
    };
    for (const Case& c : cases) {
        Bytes b = dsf;
        Put32(b, c.at, c.value);
        Opened f(b);
        EXPECT_EQ(f.status.error, c.error) << "byte " << c.at << ": " << f.status.message;
    }
    Opened f(Bytes(dsf.begin(), dsf.begin() + 60));
    EXPECT_EQ(f.status.error, AudioError::Corrupt);
}

TEST(DffReader, RefusesDstBrokenAndTruncatedFiles) {
    const Bytes dff = MakeDff(2822400, {Ramp(64, 0), Ramp(64, 1)});
    auto find = [&](const Bytes& b, const char* id) {
        for (std::size_t i = 16; i + 4 <= b.size(); ++i) {
            if (std::memcmp(b.data() + i, id, 4) == 0)
                return i;
        }
        return std::size_t{0};
    };
    {
        Opened f(Bytes(dff.begin(), dff.end() - 1));
        EXPECT_EQ(f.status.error, AudioError::Truncated) << f.status.message;
    }
    {
        Bytes b = dff;
        std::memcpy(b.data() + find(b, "CMPR") + 12, "DST ", 4);
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Unsupported);
    }
    {
        Bytes b = dff;
        const std::size_t chnl = find(b, "CHNL");
        b[chnl + 12] = 0;
        b[chnl + 13] = 0;
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Corrupt);
    }
    {
        Bytes b = dff;
        std::memcpy(b.data() + find(b, "FS  "), "XX  ", 4);  // no sample rate
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Corrupt);
    }
    {
        Bytes b = dff;
        b[find(b, "PROP") + 4] = 0x7F;  // PROP longer than anything
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Corrupt);
    }
    {
        Bytes b = dff;
        std::memcpy(b.data() + 12, "DST ", 4);
        Opened f(b);
        EXPECT_EQ(f.status.error, AudioError::Corrupt);
    }
}

// ---- capture comparison

struct Pair {
    Opened input, capture;
    Pair(Bytes a, Bytes b) : input(std::move(a)), capture(std::move(b)) {}
    CompareResult Run() { return CompareCapture(input.reader, capture.reader); }
};

std::vector<std::int32_t> Interleave(const std::vector<std::int32_t>& l,
                                     const std::vector<std::int32_t>& r) {
    std::vector<std::int32_t> out;
    for (std::size_t i = 0; i < l.size(); ++i) {
        out.push_back(l[i]);
        out.push_back(r[i]);
    }
    return out;
}

TEST(CompareCapture, PcmMatchesWidenedInputThenSilenceAndNamesTheFirstDifference) {
    std::vector<std::int32_t> l(5000), r(5000);
    PcmTone(44100).Next(l.data(), r.data(), l.size());
    const Bytes input = MakeWav(44100, 2, 16, Interleave(l, r));
    std::vector<std::int32_t> wl = l, wr = r;
    for (auto* v : {&wl, &wr}) {
        for (auto& s : *v)
            s = static_cast<std::int32_t>(static_cast<std::uint32_t>(s) & 0xFFFF0000u);
    }
    auto carrier = Interleave(wl, wr);
    carrier.resize(carrier.size() + 2048, 0);
    EXPECT_TRUE(Pair(input, MakeWav(44100, 2, 32, carrier)).Run().same);

    auto flipped = carrier;
    flipped[2 * 4321 + 1] ^= 0x10000;
    const CompareResult diff = Pair(input, MakeWav(44100, 2, 32, flipped)).Run();
    EXPECT_FALSE(diff.same);
    EXPECT_NE(diff.message.find("frame 4321 right"), std::string::npos) << diff.message;

    auto noisyTail = carrier;
    noisyTail.back() = 1;
    EXPECT_FALSE(Pair(input, MakeWav(44100, 2, 32, noisyTail)).Run().same);
    auto shortCapture = carrier;
    shortCapture.resize(2 * 4999);
    EXPECT_FALSE(Pair(input, MakeWav(44100, 2, 32, shortCapture)).Run().same);
    EXPECT_FALSE(Pair(input, MakeWav(48000, 2, 32, carrier)).Run().same);
    EXPECT_FALSE(Pair(input, MakeWav(44100, 2, 16, carrier)).Run().same);
}

TEST(CompareCapture, DsdIgnoresPaddingBitsAndWantsDsdSilenceAfter) {
    std::vector<Bytes> in(2, Bytes(300));
    DsdTone(2822400).Next(in[0].data(), in[1].data(), 300);
    const std::uint64_t samples = 299 * 8 + 3;  // a last byte with three samples
    const Bytes input = MakeDsf(2822400, in, samples);
    std::vector<Bytes> got = in;
    got[0][299] = static_cast<std::uint8_t>((in[0][299] & 0xE0) | 0x0A);  // padding differs
    for (auto& c : got)
        c.resize(1000, kDsdSilenceByte);
    EXPECT_TRUE(Pair(input, MakeDsf(2822400, got, 8000)).Run().same);
    EXPECT_TRUE(Pair(MakeDff(2822400, in), MakeDsf(
                                               2822400,
                                               [&] {
                                                   auto g = in;
                                                   for (auto& c : g)
                                                       c.resize(400, kDsdSilenceByte);
                                                   return g;
                                               }(),
                                               3200))
                    .Run()
                    .same);

    auto bad = got;
    bad[1][17] ^= 0x01;
    const CompareResult diff = Pair(input, MakeDsf(2822400, bad, 8000)).Run();
    EXPECT_FALSE(diff.same);
    EXPECT_NE(diff.message.find("byte 17 right"), std::string::npos) << diff.message;
    auto sampleDiffers = got;
    sampleDiffers[0][299] ^= 0x20;  // the third sample of the last byte is signal
    EXPECT_FALSE(Pair(input, MakeDsf(2822400, sampleDiffers, 8000)).Run().same);
    auto zeroTail = got;
    zeroTail[0][999] = 0;
    EXPECT_FALSE(Pair(input, MakeDsf(2822400, zeroTail, 8000)).Run().same);
    EXPECT_FALSE(Pair(input, MakeDsf(5644800, got, 8000)).Run().same);
    EXPECT_FALSE(Pair(input, MakeWav(44100, 2, 32, {0, 0})).Run().same);
}

}  // namespace
}  // namespace ferox::host
