#pragma once

#include "app/arguments.h"
#include "platform/ports.h"
#include "support/config.h"

#include <memory>

namespace mornix {

class DesktopModule;
class MornixController;
class PlatformModules;

// The composition root of the agent mode: wires the controller to the real ports, the
// operational log and the interface: the desktop module's windows when it is loaded (outside
// the managed presentation), headless otherwise.
// modules: the loader of the bundle's modules, which must outlive the controller; its faults
// (those found before included) go to the operational log while the controller lives. Null: none.
std::unique_ptr<MornixController> makeMornixController(const Arguments &arguments, Ports &ports, const Config &config,
                                                       DesktopModule *desktop, PlatformModules *modules = nullptr);

}  // namespace mornix
