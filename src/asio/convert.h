// The carrier the device receives: frames of a left and a right 32-bit little-endian word.
#pragma once

#include <cstdint>

#include "asio/asio.h"

namespace ferox {

// n frames from one half of the host's output. PCM words pass unchanged; a DSD word has its
// bytes reversed, because the host's bytes run in time order and the device wants the earliest
// in the most significant byte.
void ConvertHalf(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                 AsioLong n, bool dsd) noexcept;

// n silent frames: zeros in PCM, the DSD idle pattern 0xAA in DSD.
void FillSilence(std::uint32_t* out, AsioLong n, bool dsd) noexcept;

}  // namespace ferox
