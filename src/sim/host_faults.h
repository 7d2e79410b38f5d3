// How the simulated-DAC DLL's DAC misbehaves, from FEROX_SIM_FAULT, so that any host can show
// the driver's failure paths. A comma-separated list of:
//   absent               no DAC is connected
//   busy                 another program holds the DAC (its one render pin is taken)
//   no-dsd               the DAC refuses the DSD mode
//   slow[=MS]            the DAC gives every write back MS late (default 100): glitches
//   unplug-after=SECONDS the DAC is unplugged SECONDS into the first stream
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim.h"

namespace ferox::sim {

struct HostFaults {
    Machine machine = DefaultMachine();
    std::vector<std::pair<Match, Fault>> faults;  // to inject after Reset(machine)
};

// Empty or null: `base` and no faults. Nullopt for a list it does not understand, with the item
// in *error.
std::optional<HostFaults> ParseHostFaults(const char* spec, std::string* error,
                                          Machine base = DefaultMachine());

}  // namespace ferox::sim
