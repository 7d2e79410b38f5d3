// tone: a generated test tone through a driver, PCM or DSD, at any rate.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commands.h"
#include "player.h"

namespace ferox::host {
namespace {

class ToneFeed final : public Source {
  public:
    ToneFeed(bool dsd, std::uint64_t units)
        : m_dsd(dsd), m_left(units), m_pcm(44100), m_dsdTone(kDsd64) {}
    std::size_t Fill(void* left, void* right, std::size_t units) override {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(units, m_left));
        if (m_dsd) {
            m_dsdTone.Next(static_cast<std::uint8_t*>(left), static_cast<std::uint8_t*>(right), n);
        } else {
            m_pcm.Next(static_cast<std::int32_t*>(left), static_cast<std::int32_t*>(right), n);
        }
        m_left -= n;
        return n;
    }

  private:
    bool m_dsd;
    std::uint64_t m_left;
    PcmTone m_pcm;
    DsdTone m_dsdTone;
};

// A tone at any rate for long runs: 50 ms of it made once and played in a loop, so that making
// it (a modulator step for every DSD bit) costs the streaming callbacks nothing.
class LoopedToneFeed final : public Source {
  public:
    LoopedToneFeed(bool dsd, std::uint32_t rate, std::uint64_t units)
        : m_left(units), m_unitBytes(dsd ? 1 : 4) {
        const std::size_t loop = std::max<std::size_t>(1, (dsd ? rate / 8 : rate) / 20);
        m_loop[0].resize(loop * m_unitBytes);
        m_loop[1].resize(loop * m_unitBytes);
        if (dsd) {
            DsdTone(rate).Next(m_loop[0].data(), m_loop[1].data(), loop);
        } else {
            PcmTone(rate).Next(reinterpret_cast<std::int32_t*>(m_loop[0].data()),
                               reinterpret_cast<std::int32_t*>(m_loop[1].data()), loop);
        }
    }
    std::size_t Fill(void* left, void* right, std::size_t units) override {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(units, m_left));
        const std::size_t loopUnits = m_loop[0].size() / m_unitBytes;
        void* out[2] = {left, right};
        for (std::size_t done = 0; done < n;) {
            const std::size_t step = std::min(n - done, loopUnits - m_at);
            for (int c = 0; c < 2; ++c) {
                std::memcpy(static_cast<std::uint8_t*>(out[c]) + done * m_unitBytes,
                            m_loop[c].data() + m_at * m_unitBytes, step * m_unitBytes);
            }
            done += step;
            m_at = (m_at + step) % loopUnits;
        }
        m_left -= n;
        return n;
    }

  private:
    std::uint64_t m_left;
    std::size_t m_unitBytes;
    std::vector<std::uint8_t> m_loop[2];
    std::size_t m_at = 0;
};

int Tone(const std::wstring& driver, bool dsd, double seconds, std::uint32_t rate) {
    AudioInfo info;
    info.encoding = dsd ? Encoding::Dsd : Encoding::Pcm;
    info.sampleRate = rate ? rate : dsd ? kDsd64 : 44100;
    info.channels = 2;
    info.bitsPerSample = dsd ? 1 : 32;
    info.frames = static_cast<std::uint64_t>(seconds * info.sampleRate) / 8 * 8;
    const std::uint64_t units = dsd ? info.frames / 8 : info.frames;
    if (rate) {
        LoopedToneFeed feed(dsd, info.sampleRate, units);
        return Play(driver, feed, info, dsd ? "DSD test tone" : "PCM test tone");
    }
    ToneFeed feed(dsd, units);
    return Play(driver, feed, info, dsd ? "DSD64 test tone" : "44.1 kHz test tone");
}

int ToneCommand(const Args& args) {
    double seconds = 3;
    if (!args.rest.empty()) {
        const std::string& text = args.rest[0];
        char* end = nullptr;
        seconds = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end || !(seconds > 0 && seconds <= 3600)) {
            std::fprintf(stderr, "feroxhost: SECONDS must be a number above 0 and at most 3600\n");
            return kExitUsage;
        }
    }
    return Tone(args.driver, args.dsd, seconds, static_cast<std::uint32_t>(args.rate));
}

}  // namespace

const Command kToneCommand{"tone",
                           "tone [--driver NAME] [--dsd] [--rate HZ] [SECONDS]",
                           kOptionDriver | kOptionDsd | kOptionRate,
                           0,
                           1,
                           &ToneCommand};

}  // namespace ferox::host
