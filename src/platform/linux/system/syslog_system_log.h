#pragma once

#include "platform/system_log.h"

#include <QElapsedTimer>
#include <QMutex>

namespace mornix {

// SystemLog over syslog(3) with ident "VeltroMornix", facility user.
//
// With no log socket at /dev/log, syslog(3) tries to connect again on every message and drops
// it. So the socket's presence is looked up once and then at most every `probeInterval`: while
// it is missing, messages are dropped without that attempt; once it appears they go out again.
// Thread: any.
class SyslogSystemLog final : public SystemLog {
public:
    static constexpr qint64 probeIntervalMs = 30000;

    SyslogSystemLog();
    ~SyslogSystemLog() override;
    void write(Level level, const QString &message) override;

private:
    bool socketPresent();

    QMutex m_mutex;            // guards the two below
    QElapsedTimer m_probedAt;  // invalid until the first probe
    bool m_present = false;
};

}  // namespace mornix
