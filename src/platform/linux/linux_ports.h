#pragma once

#include "platform/ports.h"

#include <memory>

namespace mornix {

// The production factory: the Linux implementation of every port. Only the composition root
// (src/app) includes this header.
struct Config;
class PlatformModules;
class SystemLog;

// config: the build's configuration and the environment, read once by the caller (the code-signing
// anchors and signer; the forced keychain, the TPM's address, the browsers).
// modules: the loader of the bundle's modules (libsecret, TSS, xcb fronts) for the ports that
// use them, shared with the composition root's display check; null: one for the running bundle.
// systemLog: the system log port, shared with that loader; null: a new syslog one.
Ports makeLinuxPorts(const char *argv0, const Config &config, std::shared_ptr<PlatformModules> modules = nullptr,
                     std::shared_ptr<SystemLog> systemLog = nullptr);

// A workspace for a mode that lists the running applications once and exits: it reads the
// executable paths of /proc at each call instead of the ports' shared incremental listing, which
// also records every process's start and image for later rescans (about five system calls per
// process instead of one).
std::shared_ptr<Workspace> makeOneShotWorkspace(const Config &config);

}  // namespace mornix
