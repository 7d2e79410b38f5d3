// The test signals feroxhost and feroxsig make: a tone with a little noise, in PCM and in DSD.
#include "audio_files.h"

#include <cmath>
#include "audio_bytes.h"

namespace ferox::host {

using namespace bytes;

namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

// ---- test signals

void PcmTone::Next(std::int32_t* left, std::int32_t* right, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i, ++m_n) {
        const double t = static_cast<double>(m_n) / m_rate;
        std::int32_t v[2];
        for (int c = 0; c < 2; ++c) {
            m_noise ^= m_noise << 13;
            m_noise ^= m_noise >> 17;
            m_noise ^= m_noise << 5;
            const double s = std::sin(2 * kPi * (c == 0 ? 997.0 : 1499.0) * t);
            v[c] = static_cast<std::int32_t>(s * m_level * 2147483648.0) ^
                   static_cast<std::int32_t>(m_noise & 0xFFF);
        }
        left[i] = v[0];
        right[i] = v[1];
    }
}

void DsdTone::Next(std::uint8_t* left, std::uint8_t* right, std::size_t bytes) {
    std::uint8_t* out[2] = {left, right};
    for (std::size_t i = 0; i < bytes; ++i) {
        std::uint8_t b[2] = {0, 0};
        for (int bit = 0; bit < 8; ++bit, ++m_n) {
            const double t = static_cast<double>(m_n) / m_rate;
            for (int c = 0; c < 2; ++c) {
                const double x = m_level * std::sin(2 * kPi * (c == 0 ? 997.0 : 1499.0) * t);
                double* s = m_state[c];
                const double q = s[1] >= 0 ? 1.0 : -1.0;
                s[0] += x - q;
                s[1] += s[0] - q;
                b[c] = static_cast<std::uint8_t>(b[c] << 1 | (q > 0 ? 1 : 0));
            }
        }
        out[0][i] = b[0];
        out[1][i] = b[1];
    }
}

}  // namespace ferox::host
