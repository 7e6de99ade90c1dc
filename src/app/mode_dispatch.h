#pragma once

#include "app/arguments.h"
#include "platform/ports.h"
#include "support/config.h"

#include <optional>

namespace mornix {

// Tests the command-line switches in their fixed order; the first one that applies runs its
// mode to completion and its exit status is returned. nullopt: no mode applies, the caller
// proceeds with the normal start.
std::optional<int> dispatchCommandLineMode(const Arguments &arguments, Ports &ports, const Config &config, int &argc,
                                           char **argv);

}  // namespace mornix
