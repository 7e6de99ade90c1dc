#pragma once

#include "platform/ports.h"

#include <memory>

namespace mornix {

// The production factory: the Linux implementation of every port. Only the composition root
// (src/app) includes this header.
struct Config;
class PlatformModules;

// config: the build's configuration, read once by the caller (the code-signing anchors).
// modules: when given, receives the loader of the bundle's modules the ports use, for the
// composition root's own use (the display check); one per process.
Ports makeLinuxPorts(const char *argv0, const Config &config, std::shared_ptr<PlatformModules> *modules = nullptr);

}  // namespace mornix
