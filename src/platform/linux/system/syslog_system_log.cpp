#include "platform/linux/system/syslog_system_log.h"

#include <syslog.h>

namespace mornix {

SyslogSystemLog::SyslogSystemLog()
{
    openlog("VeltroMornix", LOG_PID | LOG_NDELAY, LOG_USER);
}

SyslogSystemLog::~SyslogSystemLog()
{
    closelog();
}

void SyslogSystemLog::write(Level level, const QString &message)
{
    int priority = LOG_INFO;
    switch (level) {
    case Level::debug: priority = LOG_DEBUG; break;
    case Level::info: priority = LOG_INFO; break;
    case Level::error: priority = LOG_ERR; break;
    }
    syslog(priority, "%s", message.toUtf8().constData());
}

}  // namespace mornix
