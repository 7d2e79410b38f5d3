#include "audio_files.h"

#include <gtest/gtest.h>

#include <algorithm>
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

Bytes Set(Bytes b, std::size_t at, std::uint32_t v, int width = 4) {
    for (int i = 0; i < width; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
}
Bytes Text(Bytes b, std::size_t at, const char* id) {
    std::memcpy(b.data() + at, id, 4);
    return b;
}
Bytes Head(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + n);
}
Bytes Ramp(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 37 + seed);
    return b;
}
Bytes Reversed(Bytes b) {
    for (auto& v : b)  // the multiply-mask-modulo bit reversal of a byte
        v = static_cast<std::uint8_t>((v * 0x0202020202ull & 0x010884422010ull) % 1023);
    return b;
}
// Inserts bytes right after a plain WAV's fmt chunk, keeping the RIFF size right.
Bytes AfterFmt(Bytes b, const Bytes& more) {
    b.insert(b.begin() + 36, more.begin(), more.end());
    const auto riff = static_cast<std::uint32_t>(b.size() - 8);
    return Set(std::move(b), 4, riff);
}
// An odd-sized LIST chunk with its pad byte.
Bytes WithList(Bytes b) {
    return AfterFmt(std::move(b), {'L', 'I', 'S', 'T', 3, 0, 0, 0, 1, 2, 3, 0});
}
// The fmt chunk as WAVE_FORMAT_EXTENSIBLE with the given sub-format (1 PCM, 3 float).
Bytes Extensible(Bytes b, std::uint8_t subFormat) {
    const std::uint8_t mask = b[22] == 1 ? 4 : 3, bits = b[34];
    b = AfterFmt(std::move(b), {22, 0, bits, 0, mask, 0, 0, 0,    subFormat, 0,    0,    0,
                                0,  0, 0x10, 0, 0x80, 0, 0, 0xAA, 0,         0x38, 0x9B, 0x71});
    return Set(Set(std::move(b), 16, 40), 20, 0xFFFE, 2);
}
std::size_t Find(const Bytes& b, const char* id) {
    return std::search(b.begin() + 16, b.end(), id, id + 4) - b.begin();
}

TEST(WavReader, WidensEachDepthAndLayoutToLeftJustified32Bits) {
    const std::vector<std::int32_t> s = {0x12345678, -0x12345678, 0x7FFFFFFF,
                                         static_cast<std::int32_t>(0x80000000)};
    for (std::uint16_t bits : {16, 24, 32}) {
        for (std::uint16_t channels : {1, 2}) {
            const Bytes plain = MakeWav(48000, channels, bits, s);
            for (const Bytes& file : {plain, WithList(plain), Extensible(plain, 1)}) {
                SCOPED_TRACE(testing::Message() << bits << "/" << channels << "/" << file.size());
                Opened f(file);
                ASSERT_TRUE(f.status.ok()) << f.status.message;
                const std::size_t frames = s.size() / channels;
                EXPECT_EQ(f.reader.Info().sampleRate, 48000u);
                EXPECT_EQ(f.reader.Info().frames, frames);
                std::int32_t l[5], r[5];
                ASSERT_EQ(f.reader.ReadPcm(l, r, 5), frames);
                const std::uint32_t keep = ~0u << (32 - bits);
                for (std::size_t i = 0; i < frames; ++i) {
                    EXPECT_EQ(static_cast<std::uint32_t>(l[i]), s[i * channels] & keep);
                    EXPECT_EQ(static_cast<std::uint32_t>(r[i]),
                              s[i * channels + channels - 1] & keep);
                }
                EXPECT_EQ(f.reader.ReadPcm(l, r, 5), 0u);
                EXPECT_TRUE(f.reader.Status().ok());
            }
        }
    }
}

TEST(DsdReaders, GiveBackTheBytesMsbFirstAcrossBlocksInAnyReadSize) {
    // 10000 bytes a channel: two full 4096-byte DSF blocks and a padded third.
    const std::vector<Bytes> ch = {Ramp(10000, 1), Ramp(10000, 99)}, mono = {ch[0]};
    const Bytes dsf = MakeDsf(2822400, ch, 10000 * 8);
    const struct {
        const char* what;
        Bytes file;
        std::vector<Bytes> want;
    } cases[] = {
        {"dsf", dsf, ch},
        {"dff", MakeDff(2822400, ch), ch},
        {"mono dsf", MakeDsf(2822400, mono, 10000 * 8), {ch[0], ch[0]}},
        {"mono dff", MakeDff(2822400, mono), {ch[0], ch[0]}},
        // Eight bits per sample: the bytes are already MSB first.
        {"dsf msb first", Set(dsf, 60, 8), {Reversed(ch[0]), Reversed(ch[1])}},
        // A writer that stops the right channel's last block after its samples.
        {"dsf last block cut", Head(dsf, dsf.size() - (4096 - 10000 % 4096)), ch},
    };
    for (const auto& c : cases) {
        for (std::size_t step : {1u, 1000u, 4096u, 5000u, 20000u}) {
            SCOPED_TRACE(testing::Message() << c.what << ", step " << step);
            Opened f(c.file);
            ASSERT_TRUE(f.status.ok()) << f.status.message;
            EXPECT_EQ(f.reader.Info().sampleRate, 2822400u);
            EXPECT_EQ(f.reader.Info().frames, 80000u);
            Bytes l(step), r(step), gotL, gotR;
            while (std::size_t n = f.reader.ReadDsd(l.data(), r.data(), step)) {
                gotL.insert(gotL.end(), l.begin(), l.begin() + n);
                gotR.insert(gotR.end(), r.begin(), r.begin() + n);
            }
            EXPECT_EQ(gotL, c.want[0]);
            EXPECT_EQ(gotR, c.want[1]);
        }
    }
}

TEST(AudioReader, NamesEachFileItCannotPlay) {
    using E = AudioError;
    const Bytes wav = MakeWav(44100, 2, 16, {1, 2, 3, 4});
    const Bytes dsf = MakeDsf(2822400, {Ramp(10, 0), Ramp(10, 1)}, 80);
    const Bytes dff = MakeDff(2822400, {Ramp(64, 0), Ramp(64, 1)});
    const struct {
        const char* what;
        Bytes file;
        AudioError error;
    } cases[] = {
        {"empty", {}, E::Unsupported},
        {"ID3", {'I', 'D', '3'}, E::Unsupported},
        {"mp3", {'I', 'D', '3', 4}, E::Unsupported},
        {"flac", {'f', 'L', 'a', 'C', 0, 0, 0, '"'}, E::Unsupported},
        {"aiff", {'F', 'O', 'R', 'M', 0, 0, 0, 0, 'A', 'I', 'F', 'F', 0, 0, 0, 0}, E::Unsupported},
        {"wav float", Set(wav, 20, 3, 2), E::Unsupported},
        {"wav mp3", Set(wav, 20, 0x55, 2), E::Unsupported},
        {"wav 8-bit", Set(wav, 34, 8, 2), E::Unsupported},
        {"wav 5.1", Set(Set(wav, 22, 6, 2), 32, 12, 2), E::Unsupported},
        {"wav extensible float", Extensible(wav, 3), E::Unsupported},
        {"wav no channels", Set(wav, 22, 0, 2), E::Corrupt},
        {"wav alignment fits no frame", Set(wav, 32, 3, 2), E::Corrupt},
        {"wav no fmt", Text(wav, 12, "junk"), E::Corrupt},
        {"riff not WAVE", Text(wav, 8, "AVI "), E::Corrupt},
        {"wav fmt past the end", Set(wav, 16, 0xFFFFFFF0u), E::Truncated},
        {"wav data past the end", Head(wav, wav.size() - 2), E::Truncated},
        {"wav ends inside fmt", Head(wav, 30), E::Truncated},
        {"wav data ends inside a frame", Set(wav, 40, 6), E::Truncated},
        {"dsf DSD chunk size", Set(dsf, 4, 27), E::Corrupt},
        {"dsf compressed", Set(dsf, 44, 1), E::Unsupported},
        {"dsf format version", Set(dsf, 40, 2), E::Unsupported},
        {"dsf no channels", Set(dsf, 52, 0), E::Corrupt},
        {"dsf 5.1", Set(dsf, 52, 6), E::Unsupported},
        {"dsf rate 0", Set(dsf, 56, 0), E::Corrupt},
        {"dsf bits per sample", Set(dsf, 60, 4), E::Corrupt},
        {"dsf block size 0", Set(dsf, 72, 0), E::Corrupt},
        {"dsf block size huge", Set(dsf, 72, 0x7FFFFFFF), E::Corrupt},
        {"dsf more samples than data", Set(dsf, 64, 0xFFFFFFFF), E::Corrupt},
        {"dsf data chunk id", Text(dsf, 80, "eata"), E::Corrupt},
        {"dsf ends inside fmt", Head(dsf, 60), E::Corrupt},
        {"dsf right block missing", Head(dsf, dsf.size() - 4096), E::Truncated},
        {"dff truncated", Head(dff, dff.size() - 1), E::Truncated},
        {"dff DST", Text(dff, Find(dff, "CMPR") + 12, "DST "), E::Unsupported},
        {"dff no channels", Set(dff, Find(dff, "CHNL") + 12, 0, 2), E::Corrupt},
        {"dff no sample rate", Text(dff, Find(dff, "FS  "), "XX  "), E::Corrupt},
        {"dff PROP longer than anything", Set(dff, Find(dff, "PROP") + 4, 0x7F, 1), E::Corrupt},
        {"dff form type", Text(dff, 12, "DST "), E::Corrupt},
    };
    for (const auto& c : cases) {
        Opened f(c.file);
        EXPECT_EQ(f.status.error, c.error) << c.what << ": " << f.status.message;
        EXPECT_FALSE(f.status.message.empty()) << c.what;
        std::int32_t l, r;
        std::uint8_t a, b;
        EXPECT_EQ(f.reader.ReadPcm(&l, &r, 1), 0u) << c.what;
        EXPECT_EQ(f.reader.ReadDsd(&a, &b, 1), 0u) << c.what;
    }
}

// ---- capture comparison

void ExpectCompare(const Bytes& input, const Bytes& capture, bool same, const char* where = "") {
    Opened in(input), got(capture);
    const CompareResult r = CompareCapture(in.reader, got.reader);
    EXPECT_EQ(r.same, same) << r.message;
    EXPECT_NE(r.message.find(where), std::string::npos) << r.message;
}

TEST(CompareCapture, PcmMatchesWidenedInputThenSilenceAndNamesTheFirstDifference) {
    std::vector<std::int32_t> l(5000), r(5000), in, carrier;
    PcmTone(44100).Next(l.data(), r.data(), l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        in.insert(in.end(), {l[i], r[i]});
        carrier.insert(carrier.end(), {l[i] & ~0xFFFF, r[i] & ~0xFFFF});
    }
    carrier.resize(carrier.size() + 2048, 0);
    const Bytes input = MakeWav(44100, 2, 16, in);
    ExpectCompare(input, MakeWav(44100, 2, 32, carrier), true);

    auto flipped = carrier, noisyTail = carrier, shortCapture = carrier;
    flipped[2 * 4321 + 1] ^= 0x10000;
    ExpectCompare(input, MakeWav(44100, 2, 32, flipped), false, "frame 4321 right");
    noisyTail.back() = 1;
    ExpectCompare(input, MakeWav(44100, 2, 32, noisyTail), false);
    shortCapture.resize(2 * 4999);
    ExpectCompare(input, MakeWav(44100, 2, 32, shortCapture), false);
    ExpectCompare(input, MakeWav(48000, 2, 32, carrier), false);
    ExpectCompare(input, MakeWav(44100, 2, 16, carrier), false);
}

TEST(CompareCapture, DsdIgnoresPaddingBitsAndWantsDsdSilenceAfter) {
    std::vector<Bytes> in(2, Bytes(300));
    DsdTone(2822400).Next(in[0].data(), in[1].data(), 300);
    const Bytes input = MakeDsf(2822400, in, 299 * 8 + 3);  // a last byte with three samples
    auto got = in, shortTail = in;
    got[0][299] = static_cast<std::uint8_t>((in[0][299] & 0xE0) | 0x0A);  // padding differs
    for (auto& c : got)
        c.resize(1000, kDsdSilenceByte);
    for (auto& c : shortTail)
        c.resize(400, kDsdSilenceByte);
    ExpectCompare(input, MakeDsf(2822400, got, 8000), true);
    ExpectCompare(MakeDff(2822400, in), MakeDsf(2822400, shortTail, 3200), true);

    auto bad = got, sampleDiffers = got, zeroTail = got;
    bad[1][17] ^= 0x01;
    ExpectCompare(input, MakeDsf(2822400, bad, 8000), false, "byte 17 right");
    sampleDiffers[0][299] ^= 0x20;  // the third sample of the last byte is signal
    ExpectCompare(input, MakeDsf(2822400, sampleDiffers, 8000), false);
    zeroTail[0][999] = 0;
    ExpectCompare(input, MakeDsf(2822400, zeroTail, 8000), false);
    ExpectCompare(input, MakeDsf(5644800, got, 8000), false);
    ExpectCompare(input, MakeWav(44100, 2, 32, {0, 0}), false);
}

}  // namespace
}  // namespace ferox::host
