// feroxhost panel: the driver's settings window outside any host.
#pragma once

#include "asio/asio.h"

// Shows the settings window of a created (and, when it could be, initialised) driver and
// returns once it is closed: 0, or 1 when the driver has no window.
int ShowPanel(IASIO* asio, const char* name);
