#include "app/stop_managed.h"

#include "platform/distributed_notifications.h"

int runDesktopStopManaged(DistributedNotifications &notifications)
{
    notifications.post(notification_names::stopManaged);
    return 0;
}
