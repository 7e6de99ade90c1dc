#pragma once

#include "app/arguments.h"
#include "platform/ports.h"
#include "updates/desktop_updater.h"

#include <functional>
#include <memory>

// Builds the updater mode with the real ports: "updater.lock", the appcast updater of this
// platform with the Install/Later dialog, and a system log that also goes to standard error
// (the updater runs as a user service, whose standard error is its journal).
std::unique_ptr<DesktopUpdater> makeDesktopUpdater(const Arguments &arguments, const Ports &ports,
                                                   std::function<void()> terminate);
