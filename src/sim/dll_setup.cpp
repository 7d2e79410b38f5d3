// Linked into the simulated-DAC DLL only: the simulated machine is ready when a host loads it.
// Running at load time (under the loader lock) is safe: it starts no thread and waits for none.
#include "sim/capture_file.h"

namespace {
[[maybe_unused]] const bool g_simReady = (ferox::sim::SetUpForHosts(), true);
}  // namespace
