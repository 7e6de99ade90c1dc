#pragma once

#include "platform/ports.h"

#include <memory>

namespace mornix {

// The production factory: the Linux implementation of every port. Only the composition root
// (src/app) includes this header.
struct Config;
class PlatformModules;
class SystemLog;

// config: the build's configuration, read once by the caller (the code-signing anchors and signer).
// modules: the loader of the bundle's modules (libsecret, TSS, xcb fronts) for the ports that
// use them, shared with the composition root's display check; null: one for the running bundle.
// systemLog: the system log port, shared with that loader; null: a new syslog one.
Ports makeLinuxPorts(const char *argv0, const Config &config, std::shared_ptr<PlatformModules> modules = nullptr,
                     std::shared_ptr<SystemLog> systemLog = nullptr);

}  // namespace mornix
