#pragma once

#include "platform/system_log.h"

#include <QMutex>
#include <QStringList>

namespace mornix {

// A SystemLog that keeps what it is given, for tests that check the system-log texts.
class RecordingSystemLog final : public SystemLog {
public:
    void write(Level level, const QString &message) override
    {
        QMutexLocker lock(&m_mutex);
        m_entries.append({level, message});
    }
    QStringList messages() const
    {
        QMutexLocker lock(&m_mutex);
        QStringList list;
        for (const auto &entry : m_entries)
            list.append(entry.second);
        return list;
    }

private:
    mutable QMutex m_mutex;
    QList<QPair<Level, QString>> m_entries;
};

}  // namespace mornix
