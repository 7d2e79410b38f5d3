// The diagnostic's two halves meet here: the device as the KS client finds it, and the driver
// as a host meets it, each adding to one JSON report.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/ks.h"
#include "platform/platform.h"

namespace ferox::diagnose {

using json = nlohmann::ordered_json;

std::string HrText(HRESULT hr);

// The DAC's interfaces, filter, pins, nodes and a render pin at the format, with the device's raw
// replies; *busy when another program holds the DAC.
json DeviceChecks(const WAVEFORMATEX* pwfx, bool* busy);

}  // namespace ferox::diagnose
