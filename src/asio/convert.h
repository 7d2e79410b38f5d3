// The carrier the device receives: frames of a left and a right 32-bit little-endian word.
#pragma once

#include <atomic>
#include <cstdint>

#include "asio/asio.h"

namespace ferox {

// The ways to convert a half, slowest first. Scalar is the reference every other is held to.
enum class ConvertPath : std::uint8_t { Scalar, Sse2, Ssse3, Avx2, Avx512 };

// Whether this CPU can run the path.
bool ConvertPathAvailable(ConvertPath path) noexcept;
// The fastest up to AVX2, by rule: what a driver takes until it has measured. Cheap enough to ask
// on every call.
ConvertPath BestConvertPath() noexcept;
const char* ConvertPathName(ConvertPath path) noexcept;

// The path for each mode. The streaming thread reads it on every switch, without a lock.
struct alignas(4) ConvertChoice {
    ConvertPath pcm = ConvertPath::Scalar;
    ConvertPath dsd = ConvertPath::Scalar;
    bool measured = false;
    ConvertPath For(bool isDsd) const noexcept { return isDsd ? dsd : pcm; }
};
static_assert(std::atomic<ConvertChoice>::is_always_lock_free);

// BestConvertPath() for both modes, unmeasured.
ConvertChoice RuleConvertChoice() noexcept;
// The fastest path for each mode on this CPU, timed on a scratch half at the driver's sizes, the
// best of several runs each; about 2 ms, on the caller's stack. The fastest by rule differs
// between CPUs: on some AVX-512 loses to AVX2, on others it wins by half. Never on the streaming
// thread.
ConvertChoice MeasureConvertChoice() noexcept;

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
