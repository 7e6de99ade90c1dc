#pragma once

namespace mornix {

class DistributedNotifications;

// --desktop-stop-managed: posts "ai.veltro.mornix.stop-managed" for the running managed agent.
// Always exits 0. Needs a QCoreApplication (QtDBus).
int runDesktopStopManaged(DistributedNotifications &notifications);

}  // namespace mornix
