// The carrier the device receives: frames of a left and a right 32-bit little-endian word.
#pragma once

#include <cstdint>

#include "asio/asio.h"

namespace ferox {

// The ways to convert a half, slowest first. Scalar is the reference every other is held to.
enum class ConvertPath { Scalar, Sse2, Ssse3, Avx2, Avx512 };

// Whether this CPU can run the path.
bool ConvertPathAvailable(ConvertPath path) noexcept;
// The path the driver takes on this CPU: the fastest up to AVX2. AVX-512 stays for those who ask
// for it: on whole switches it gained at most a few per cent over AVX2 (and lost on small
// halves), less than the clock a core may give up for running it. Cheap enough to ask on every
// call.
ConvertPath BestConvertPath() noexcept;
const char* ConvertPathName(ConvertPath path) noexcept;

// n frames from one half of the host's output. PCM words pass unchanged; a DSD word has its
// bytes reversed, because the host's bytes run in time order and the device wants the earliest
// in the most significant byte. No alignment is assumed; left may equal right. A path the CPU
// cannot run falls back to the best one it can.
void ConvertHalf(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                 AsioLong n, bool dsd, ConvertPath path) noexcept;
inline void ConvertHalf(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                        AsioLong n, bool dsd) noexcept {
    ConvertHalf(out, left, right, n, dsd, BestConvertPath());
}

// n silent frames: zeros in PCM, the DSD idle pattern 0xAA in DSD.
void FillSilence(std::uint32_t* out, AsioLong n, bool dsd) noexcept;

}  // namespace ferox
