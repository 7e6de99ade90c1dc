#include "commands/controller_state.h"

namespace mornix {

ControllerState::ControllerState(OperationalLog appendLog, ServiceClientFactory makeServiceClient, QObject *parent)
    : QObject(parent)
    , m_appendLog(std::move(appendLog))
    , m_makeServiceClient(std::move(makeServiceClient))
{
}

std::shared_ptr<DeviceServiceClient> ControllerState::makeServiceClient(const QString &apiBaseURL) const
{
    return m_makeServiceClient ? m_makeServiceClient(apiBaseURL) : nullptr;
}

void ControllerState::setCredentials(const std::optional<DeviceCredentials> &credentials)
{
    m_credentials = credentials;
    Q_EMIT changed();
}

void ControllerState::setPendingClaim(const std::optional<PendingClaimState> &claim)
{
    m_pendingClaim = claim;
    Q_EMIT changed();
}

void ControllerState::setLastCommand(const QString &text)
{
    const bool differs = text != m_lastCommand;
    m_lastCommand = text;
    Q_EMIT lastCommandSet(text);
    Q_EMIT changed();
    if (!differs)
        return;
    Q_EMIT lastCommandChanged(text);
    appendLog(text);
}

void ControllerState::setConnected(bool connected)
{
    const bool differs = connected != m_connected;
    m_connected = connected;
    Q_EMIT changed();
    if (!differs)
        return;
    Q_EMIT connectedChanged(connected);
    appendLog(connected ? QStringLiteral("connected=true") : QStringLiteral("connected=false"));
}

void ControllerState::appendLog(const QString &line) const
{
    if (m_appendLog)
        m_appendLog(line);
}

}  // namespace mornix
