#pragma once

#include "platform/platform.h"

namespace ferox {

// The driver's class identifier, fixed forever: hosts and installers know the driver by it.
// {3739839C-CE45-4C86-8C77-D40451739198}
inline constexpr CLSID kClsidFeroxAsio = {
    0x3739839C, 0xCE45, 0x4C86, {0x8C, 0x77, 0xD4, 0x04, 0x51, 0x73, 0x91, 0x98}};

}  // namespace ferox
