// What the writes of a stream point the device at, and the bounds the engine keeps.
#pragma once

#include "asio/pellinor.h"
#include "ks/irp_target.h"

namespace ferox {

inline constexpr DWORD kStopWaitMs = 1000;
// A device that claims to hold more than a second of audio is not believed (100 ns units).
inline constexpr LONGLONG kMaxDeviceLatency = 10000000;

struct ASIOPellinor::StreamMemory : KsHeld {
    StreamPacket packets[kStreamPackets];
    HANDLE events[kStreamPackets];  // auto-reset, one for each packet
    // A silent half in the stream's mode, for a side whose channel the host left inactive.
    std::int32_t silence[kMaxBufferWords];
    // The slots, line-aligned within: the conversion's wide stores never split a cache line.
    BYTE space[kStreamPackets * kStreamSlotBytes + 63];

    BYTE* Slot(int s) {
        const auto at = (reinterpret_cast<ULONG_PTR>(space) + 63) & ~ULONG_PTR{63};
        return reinterpret_cast<BYTE*>(at) + static_cast<std::size_t>(s) * kStreamSlotBytes;
    }
};

}  // namespace ferox
