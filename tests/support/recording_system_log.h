#pragma once

#include "platform/system_log.h"

#include <QMutex>
#include <QStringList>

// A SystemLog that keeps every message, for tests that check the fixed system-log texts.
class RecordingSystemLog final : public SystemLog {
public:
    void write(Level, const QString &message) override
    {
        QMutexLocker locker(&m_mutex);
        m_messages.append(message);
    }
    QStringList messages() const
    {
        QMutexLocker locker(&m_mutex);
        return m_messages;
    }

private:
    mutable QMutex m_mutex;
    QStringList m_messages;
};
