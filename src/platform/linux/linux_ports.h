#pragma once

#include "platform/ports.h"

// The production factory: the Linux implementation of every port. Only the composition root
// (src/app) includes this header.
Ports makeLinuxPorts(const char *argv0);
