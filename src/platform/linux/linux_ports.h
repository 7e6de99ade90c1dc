#pragma once

#include "platform/ports.h"

namespace mornix {

// The production factory: the Linux implementation of every port. Only the composition root
// (src/app) includes this header.
struct Config;

// config: the build's configuration, read once by the caller (the code-signing anchors).
Ports makeLinuxPorts(const char *argv0, const Config &config);

}  // namespace mornix
