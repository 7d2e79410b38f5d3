// The driver's own check of the DAC, for `feroxhost doctor`: what the device is and answers, seen
// through the driver's KS client and device seam, and how a short stream through the driver
// paces. The report is JSON (its fields: docs/doctor-report.md).
#pragma once

#include <string>

#include "platform/platform.h"

namespace ferox {

struct DiagnoseOptions {
    DWORD streamMs = 3000;  // each silent stream (PCM, DSD64); 0 runs none
};

// UTF-8 JSON text. Runs on the caller's thread; takes the DAC for its length, as a host would.
std::string Diagnose(const DiagnoseOptions& options);

}  // namespace ferox
