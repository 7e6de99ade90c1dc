#include "platform/linux/linux_ports.h"

#include "platform/linux/app_bundle.h"
#include "platform/linux/linux_code_signing.h"
#include "platform/linux/linux_process_table.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/syslog_system_log.h"
#include "support/config.h"

Ports makeLinuxPorts(const char *argv0)
{
    Ports ports;
    ports.systemLog = std::make_shared<SyslogSystemLog>();
    ports.bundle = std::make_shared<AppBundle>(AppBundle::forRunningExecutable(argv0));
    ports.processTable = std::make_shared<LinuxProcessTable>();
    ports.workspace = std::make_shared<LinuxWorkspace>();
    ports.codeSigning = std::make_shared<LinuxCodeSigning>(Config::defaults().codeSigningAnchorsPEM);
    return ports;
}
