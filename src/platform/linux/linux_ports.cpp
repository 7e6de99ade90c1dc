#include "platform/linux/linux_ports.h"

#include "platform/linux/app_bundle.h"
#include "platform/linux/syslog_system_log.h"

Ports makeLinuxPorts(const char *argv0)
{
    Ports ports;
    ports.systemLog = std::make_shared<SyslogSystemLog>();
    ports.bundle = std::make_shared<AppBundle>(AppBundle::forRunningExecutable(argv0));
    return ports;
}
