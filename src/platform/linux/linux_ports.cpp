#include "platform/linux/linux_ports.h"

#include "platform/linux/app_bundle.h"
#include "platform/linux/dbus_distributed_notifications.h"
#include "platform/linux/xdg_login_item.h"
#include "platform/linux/syslog_system_log.h"

Ports makeLinuxPorts(const char *argv0)
{
    Ports ports;
    ports.systemLog = std::make_shared<SyslogSystemLog>();
    auto bundle = std::make_shared<AppBundle>(AppBundle::forRunningExecutable(argv0));
    ports.bundle = bundle;
    ports.distributedNotifications = std::make_shared<DBusDistributedNotifications>();
    ports.loginItem = std::make_shared<XdgLoginItem>(bundle->executablePath());
    return ports;
}
