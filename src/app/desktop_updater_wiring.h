#pragma once

#include "app/arguments.h"
#include "core/desktop_module.h"
#include "platform/ports.h"
#include "updates/desktop_updater.h"
#include "support/config.h"

#include <functional>
#include <memory>

namespace mornix {

class PlatformModules;

// Builds the updater mode with the real ports: "updater.lock", the appcast updater of this
// platform with the Install/Later dialog of the desktop module (without one, every offer is
// answered Later and logged), and a system log that also goes to standard error
// (the updater runs as a user service, whose standard error is its journal). `modules` loads the
// archive module when an update is unpacked; it lives as long as the updater.
// What tests put in place of the user: the answer to Install/Later, a call at each step of
// an update session ("session-started", "downloaded", "verified", "unpacking", "unpacked",
// "swapped", "cleaned"), and a shorter limit on each transfer's whole duration.
struct DesktopUpdaterSeams {
    std::shared_ptr<UpdatePrompt> prompt;  // default: the desktop module's dialog
    std::function<void(const QString &step)> stepHook;
    qint64 transferDeadlineMs = 0;  // > 0: every transfer ends after this long; 0: the default
};

std::unique_ptr<DesktopUpdater> makeDesktopUpdater(const Arguments &arguments, const Ports &ports, const Config &config,
                                                   std::shared_ptr<PlatformModules> modules,
                                                   std::function<void()> terminate, DesktopUpdaterSeams seams = {},
                                                   DesktopModule *desktop = nullptr);

}  // namespace mornix
