#include "core/dashboard_activity.h"

#include "commands/controller_state.h"

namespace mornix {

DashboardActivity::DashboardActivity(const ControllerState &state, QObject *parent)
    : QObject(parent)
{
    connect(&state, &ControllerState::lastCommandChanged, this,
            [this](const QString &text) { record(MornixDashboardState::activityTitle(text)); });
    connect(&state, &ControllerState::connectedChanged, this, [this](bool connected) {
        record(connected ? QStringLiteral("Connected to Veltro") : QStringLiteral("Connection changed"));
    });
}

void DashboardActivity::record(const QString &title)
{
    if (!m_entries.isEmpty() && m_entries.constLast().title == title)
        return;
    m_entries.append(MornixDashboardActivity{title, QDateTime::currentDateTimeUtc()});
    if (m_entries.size() > maximumCount)
        m_entries.remove(0, m_entries.size() - maximumCount);
    Q_EMIT changed();
}

}  // namespace mornix
