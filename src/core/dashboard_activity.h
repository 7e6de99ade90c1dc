#pragma once

#include "core/dashboard_state.h"

#include <QList>
#include <QObject>

namespace mornix {

class ControllerState;

// The dashboard's activity list: an entry for every change of the controller's last command
// text (by its activity title) and connection state, and the controller's own events. Keeps the
// newest 40; an entry with the title of the one before is not added. Thread: main thread.
class DashboardActivity : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype maximumCount = 40;

    // Follows the state's changes while both live.
    explicit DashboardActivity(const ControllerState &state, QObject *parent = nullptr);

    const QList<MornixDashboardActivity> &entries() const { return m_entries; }
    // Appends (title, now) unless the newest entry has the same title.
    void record(const QString &title);

Q_SIGNALS:
    void changed();

private:
    QList<MornixDashboardActivity> m_entries;  // oldest first
};

}  // namespace mornix
