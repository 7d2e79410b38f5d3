// Byte order and chunk helpers shared by the WAV, DSF and DSDIFF readers and writers.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "audio_files.h"

namespace ferox::host::bytes {

inline std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t Le64(const std::uint8_t* p) {
    return Le32(p) | static_cast<std::uint64_t>(Le32(p + 4)) << 32;
}
inline std::uint16_t Be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t Be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
inline std::uint64_t Be64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Be32(p)) << 32 | Be32(p + 4);
}
inline bool Is(const std::uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

inline std::uint8_t ReverseBits(std::uint8_t b) {
    b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

inline AudioStatus Fail(AudioError e, std::string message) {
    return AudioStatus{e, std::move(message)};
}

inline std::string Num(std::uint64_t v) {
    return std::to_string(v);
}

inline void PutLe(Bytes& b, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void PutBe(Bytes& b, std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void PutId(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(id[i]));
}

}  // namespace ferox::host::bytes
