// The commands feroxhost knows, in the order its help lists them. Each lives in its own
// cmd_<name>.cpp and defines `const Command k<Name>Command`: adding one is that file and one line
// here (the build picks up every cmd_*.cpp).
#pragma once

#include <span>

#include "host.h"

#define FEROXHOST_COMMANDS(X) \
    X(List)                   \
    X(Probe)                  \
    X(Play)                   \
    X(Tone)                   \
    X(Config)                 \
    X(Panel)                  \
    X(Doctor)

namespace ferox::host {

#define FEROXHOST_DECLARE(Name) extern const Command k##Name##Command;
FEROXHOST_COMMANDS(FEROXHOST_DECLARE)
#undef FEROXHOST_DECLARE

// All of them, in the order above.
std::span<const Command* const> Commands();

}  // namespace ferox::host
