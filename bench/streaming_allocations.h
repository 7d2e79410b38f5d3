// Allocations on the streaming path, counted while the driver streams against the simulated DAC.
#pragma once

namespace ferox::bench {

// Runs the driver for `switches` buffer switches (after the stream has settled) and returns the
// allocations made meanwhile on the streaming thread, the simulated device's own excepted, scaled
// to 10,000 switches; -1 when the driver did not stream.
long StreamingAllocations(long switches);

}  // namespace ferox::bench
