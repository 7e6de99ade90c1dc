#include "platform/linux/system/syslog_system_log.h"

#include <sys/stat.h>
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

bool SyslogSystemLog::socketPresent()
{
    QMutexLocker lock(&m_mutex);
    if (!m_probedAt.isValid() || m_probedAt.elapsed() >= probeIntervalMs) {
        struct stat info;
        // Followed: journald's /dev/log is a link to its socket.
        m_present = ::stat(_PATH_LOG, &info) == 0 && S_ISSOCK(info.st_mode);
        m_probedAt.start();
    }
    return m_present;
}

void SyslogSystemLog::write(Level level, const QString &message)
{
    if (!socketPresent())
        return;  // what syslog(3) would do after its failed connect
    int priority = LOG_INFO;
    switch (level) {
    case Level::debug: priority = LOG_DEBUG; break;
    case Level::info: priority = LOG_INFO; break;
    case Level::error: priority = LOG_ERR; break;
    }
    syslog(priority, "%s", message.toUtf8().constData());
}

}  // namespace mornix
