#include "core/controller_status.h"

namespace mornix {

ControllerStatus::ControllerStatus(std::function<void(const QString &)> appendLog, QObject *parent)
    : QObject(parent)
    , m_appendLog(std::move(appendLog))
{
}

void ControllerStatus::setLastCommand(const QString &text)
{
    const bool changed = text != m_lastCommand;
    m_lastCommand = text;
    Q_EMIT menuRefreshNeeded();
    if (!changed)
        return;
    recordDashboardActivity(MornixDashboardState::activityTitle(text));
    m_appendLog(text);
}

void ControllerStatus::setConnected(bool connected)
{
    const bool changed = connected != m_connected;
    m_connected = connected;
    Q_EMIT menuRefreshNeeded();
    if (!changed)
        return;
    recordDashboardActivity(connected ? QStringLiteral("Connected to Veltro") : QStringLiteral("Connection changed"));
    m_appendLog(connected ? QStringLiteral("connected=true") : QStringLiteral("connected=false"));
}

void ControllerStatus::recordDashboardActivity(const QString &title)
{
    if (!m_activity.isEmpty() && m_activity.constLast().title == title)
        return;
    m_activity.append(MornixDashboardActivity{title, QDateTime::currentDateTimeUtc()});
    if (m_activity.size() > maximumActivityCount)
        m_activity.remove(0, m_activity.size() - maximumActivityCount);
    Q_EMIT dashboardRefreshNeeded();
}

}  // namespace mornix
