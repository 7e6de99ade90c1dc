#include "app/stop_managed.h"

#include "platform/distributed_notifications.h"

namespace mornix {

int runDesktopStopManaged(DistributedNotifications &notifications)
{
    notifications.post(notification_names::stopManaged);
    return 0;
}

}  // namespace mornix
