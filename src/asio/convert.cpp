#include "asio/convert.h"

namespace ferox {

namespace {
constexpr std::uint32_t kDsdSilence = 0xAAAAAAAAu;

std::uint32_t ByteSwap(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
}  // namespace

void ConvertHalf(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                 AsioLong n, bool dsd) noexcept {
    // Two loops, so that each is a plain interleave the compiler can vectorise.
    if (dsd) {
        for (AsioLong i = 0; i < n; ++i) {
            out[2 * i] = ByteSwap(static_cast<std::uint32_t>(left[i]));
            out[2 * i + 1] = ByteSwap(static_cast<std::uint32_t>(right[i]));
        }
    } else {
        for (AsioLong i = 0; i < n; ++i) {
            out[2 * i] = static_cast<std::uint32_t>(left[i]);
            out[2 * i + 1] = static_cast<std::uint32_t>(right[i]);
        }
    }
}

void FillSilence(std::uint32_t* out, AsioLong n, bool dsd) noexcept {
    const std::uint32_t word = dsd ? kDsdSilence : 0;
    for (AsioLong i = 0; i < 2 * n; ++i)
        out[i] = word;
}

}  // namespace ferox
