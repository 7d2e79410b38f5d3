// The conversion benchmarks' view of the driver's choice of path.
#pragma once

#include "asio/convert.h"

namespace ferox::bench {

// Measured once for the whole run, as a driver object measures once.
ConvertChoice PickedConvertChoice();

}  // namespace ferox::bench
