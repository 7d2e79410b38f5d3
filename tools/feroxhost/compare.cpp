// What the simulated DAC captured, held to the file that was played.
#include "audio_files.h"

#include <algorithm>
#include <cmath>
#include "audio_bytes.h"

namespace ferox::host {

using namespace bytes;

// ---- comparison

CompareResult CompareCapture(AudioReader& input, AudioReader& capture) {
    const AudioInfo& in = input.Info();
    const AudioInfo& cap = capture.Info();
    CompareResult r;
    if (in.encoding != cap.encoding) {
        r.message = "the capture is not of the input's kind (PCM against DSD)";
        return r;
    }
    if (in.sampleRate != cap.sampleRate) {
        r.message = "the capture runs at " + Num(cap.sampleRate) + " Hz, the input at " +
                    Num(in.sampleRate) + " Hz";
        return r;
    }
    constexpr std::size_t kChunk = 4096;
    if (in.encoding == Encoding::Pcm) {
        if (cap.channels != 2 || cap.bitsPerSample != 32) {
            r.message = "the capture is not 32-bit stereo";
            return r;
        }
        std::vector<std::int32_t> a[2], b[2];
        for (auto* v : {&a[0], &a[1], &b[0], &b[1]})
            v->resize(kChunk);
        std::uint64_t frame = 0;
        for (;;) {
            const std::size_t n = input.ReadPcm(a[0].data(), a[1].data(), kChunk);
            if (n == 0)
                break;
            const std::size_t m = capture.ReadPcm(b[0].data(), b[1].data(), n);
            for (std::size_t i = 0; i < m; ++i) {
                for (int c = 0; c < 2; ++c) {
                    if (a[c][i] != b[c][i]) {
                        char text[160];
                        std::snprintf(
                            text, sizeof text, "frame %llu %s: played 0x%08X, received 0x%08X",
                            static_cast<unsigned long long>(frame + i), c ? "right" : "left",
                            static_cast<unsigned>(a[c][i]), static_cast<unsigned>(b[c][i]));
                        r.message = text;
                        return r;
                    }
                }
            }
            frame += m;
            if (m < n) {
                r.message =
                    "the capture ends after " + Num(frame) + " of " + Num(in.frames) + " frames";
                return r;
            }
        }
        std::uint64_t tail = 0;
        for (;;) {
            const std::size_t m = capture.ReadPcm(b[0].data(), b[1].data(), kChunk);
            if (m == 0)
                break;
            for (std::size_t i = 0; i < m; ++i) {
                if (b[0][i] != 0 || b[1][i] != 0) {
                    r.message = "frame " + Num(frame + tail + i) + " after the input is not silent";
                    return r;
                }
            }
            tail += m;
        }
        r.same = true;
        r.message = Num(frame) + " frames identical, then " + Num(tail) + " silent";
        return r;
    }

    Bytes a[2], b[2];
    for (auto* v : {&a[0], &a[1], &b[0], &b[1]})
        v->resize(kChunk);
    const std::uint64_t fullBytes = in.frames / 8;
    const unsigned restBits = static_cast<unsigned>(in.frames % 8);
    std::uint64_t at = 0;
    for (;;) {
        const std::size_t n = input.ReadDsd(a[0].data(), a[1].data(), kChunk);
        if (n == 0)
            break;
        const std::size_t m = capture.ReadDsd(b[0].data(), b[1].data(), n);
        for (std::size_t i = 0; i < m; ++i) {
            // Bits past the input's last sample are padding, not signal.
            const std::uint8_t mask =
                at + i < fullBytes ? 0xFF : static_cast<std::uint8_t>(0xFF00 >> restBits);
            for (int c = 0; c < 2; ++c) {
                if (((a[c][i] ^ b[c][i]) & mask) != 0) {
                    char text[160];
                    std::snprintf(text, sizeof text, "byte %llu %s: played 0x%02X, received 0x%02X",
                                  static_cast<unsigned long long>(at + i), c ? "right" : "left",
                                  a[c][i], b[c][i]);
                    r.message = text;
                    return r;
                }
            }
        }
        at += m;
        if (m < n) {
            r.message =
                "the capture ends after " + Num(at * 8) + " of " + Num(in.frames) + " samples";
            return r;
        }
    }
    std::uint64_t tail = 0;
    for (;;) {
        const std::size_t m = capture.ReadDsd(b[0].data(), b[1].data(), kChunk);
        if (m == 0)
            break;
        for (std::size_t i = 0; i < m; ++i) {
            if (b[0][i] != kDsdSilenceByte || b[1][i] != kDsdSilenceByte) {
                r.message = "byte " + Num(at + tail + i) + " after the input is not DSD silence";
                return r;
            }
        }
        tail += m;
    }
    r.same = true;
    r.message = Num(in.frames) + " samples a channel identical, then " + Num(tail * 8) + " silent";
    return r;
}

}  // namespace ferox::host
