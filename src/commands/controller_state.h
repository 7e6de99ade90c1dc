#pragma once

#include "commands/device_service_client.h"
#include "identity/credential_records.h"
#include "support/operational_log.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace mornix {

// The state the controller, its sign-in flows and its poll loop share: the device's credentials,
// a claim that waits for approval, the service client of the moment, and the status shown in the
// menu (the last command text, connected, paused). Everyone reads it afresh at each step. Writers
// change credentials or the pending claim only after the keychain holds them.
//
// A set last command or connected flag always emits `changed` (the menu is refreshed); a value
// that differs from the one before is also written to the operational log and emitted as
// `lastCommandChanged` / `connectedChanged`. Thread: main thread.
class ControllerState : public QObject {
    Q_OBJECT
public:
    // A service client over a pinned session for an API origin; null when none can be made.
    using ServiceClientFactory = std::function<std::shared_ptr<DeviceServiceClient>(const QString &apiBaseURL)>;

    explicit ControllerState(OperationalLog appendLog = {}, ServiceClientFactory makeServiceClient = {},
                             QObject *parent = nullptr);

    const std::optional<DeviceCredentials> &credentials() const { return m_credentials; }
    void setCredentials(const std::optional<DeviceCredentials> &credentials);
    const std::optional<PendingClaimState> &pendingClaim() const { return m_pendingClaim; }
    void setPendingClaim(const std::optional<PendingClaimState> &claim);
    // Null while there is nothing to talk to the service for (or no pinned session for its origin).
    const std::shared_ptr<DeviceServiceClient> &serviceClient() const { return m_serviceClient; }
    void setServiceClient(std::shared_ptr<DeviceServiceClient> client) { m_serviceClient = std::move(client); }
    // A new client for the origin (not made current); null when none can be made or there is no factory.
    std::shared_ptr<DeviceServiceClient> makeServiceClient(const QString &apiBaseURL) const;

    const QString &lastCommand() const { return m_lastCommand; }
    void setLastCommand(const QString &text);
    // Sets the text without any reaction (the controller's initial pending-claim text).
    void setLastCommandQuietly(const QString &text) { m_lastCommand = text; }
    bool connected() const { return m_connected; }
    void setConnected(bool connected);
    bool paused() const { return m_paused; }
    void setPaused(bool paused) { m_paused = paused; }

    // Writes a line to the operational log.
    void appendLog(const QString &line) const;

Q_SIGNALS:
    // The credentials, the pending claim or the status were set: the menu shows them afresh.
    void changed();
    // Every last command text set, changed or not (the terminal sign-in echoes each one).
    void lastCommandSet(const QString &text);
    void lastCommandChanged(const QString &text);
    void connectedChanged(bool connected);

private:
    OperationalLog m_appendLog;
    ServiceClientFactory m_makeServiceClient;
    std::optional<DeviceCredentials> m_credentials;
    std::optional<PendingClaimState> m_pendingClaim;
    std::shared_ptr<DeviceServiceClient> m_serviceClient;
    QString m_lastCommand = QStringLiteral("none");
    bool m_connected = false;
    bool m_paused = false;
};

}  // namespace mornix
