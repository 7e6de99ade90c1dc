#pragma once

#include <QFuture>

#include "commands/command_poll_loop.h"
#include "discovery/agent_instance_monitor.h"
#include "identity/credential_records.h"
#include "ui/controller_status.h"
#include "ui/controller_ui.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class AgentInventoryReporter;
class Bundle;
class DeviceDisconnector;
class DeviceServiceClient;
class DistributedNotifications;
class KeychainStore;
class LoginItem;

// The agent's central object while it runs as an application: its credentials and service
// client, the pending claim, the instance monitor, the poll loop, inventory reporting, and the
// status shown in the menu and the dashboard. Failures never leave it: they become
// `lastCommand` texts. Thread: main thread; created by the application delegate, kept until exit.
class MornixController : public QObject, private CommandPollLoop::Host {
    Q_OBJECT
public:
    struct Dependencies {
        QStringList arguments;
        QString buildLabel;
        QUrl websiteURL;
        QUrl helpPageURL;
        std::shared_ptr<Bundle> bundle;
        std::shared_ptr<DistributedNotifications> notifications;
        std::shared_ptr<LoginItem> loginItem;
        std::shared_ptr<ControllerUI> ui;
        std::shared_ptr<KeychainStore> keychain;
        // A service client over a pinned session for the API origin; null when none can be made.
        std::function<std::shared_ptr<DeviceServiceClient>(const QString &apiBaseURL)> makeServiceClient;
        AgentInstanceMonitor::Scanner monitorScanner;
        std::chrono::milliseconds monitorInterval{3000};
        std::shared_ptr<CommandPollLoop::Executor> executor;
        // The durable command journal; null: one in memory only (nothing survives a restart).
        std::shared_ptr<CommandJournal> commandJournal;
        std::shared_ptr<DeviceDisconnector> disconnector;
        // Token refresh of OAuth credentials (the OAuth manager); absent: nothing can refresh.
        // Must not throw; nullopt when no refresh happened.
        std::function<QCoro::Task<std::optional<DeviceCredentials>>(DeviceCredentials)> refreshOAuth;
        // Completes an approved device claim (the claim flow); absent: a pending claim only waits.
        std::function<QCoro::Task<void>(PendingClaimState, std::shared_ptr<DeviceServiceClient>)> resumeApprovedClaim;
        std::function<void(const QString &)> appendLog;  // the operational log
        std::function<void()> openLogFile;
        std::function<void(const QUrl &)> openURL;
        std::function<void()> terminate;                 // ends the application
        CommandPollLoop::Sleep pollSleep;                // tests; empty: real sleeps
    };

    explicit MornixController(Dependencies dependencies, QObject *parent = nullptr);
    ~MornixController() override;

    void start();

    // Menu and dashboard actions.
    void showDashboard();
    void openLogs();
    void togglePause();
    void toggleLaunchAtLogin();
    void clearCredentials();
    void quitApp();

    // Distributed-notification handlers. The reload reads the keychain on a worker thread and
    // takes the credentials in on the main thread when the read has finished.
    void reloadDesktopCredentials();
    void stopManagedReporter();

    void refreshMenuState();
    void updateDashboard();
    void recordDashboardActivity(const QString &title) { m_status->recordDashboardActivity(title); }
    MornixDashboardState dashboardState() const;
    void startAgentInstanceMonitoring();
    void startPolling();
    void queueAgentInventoryReport(const QList<AgentInstanceReport> &reports,
                                   const std::optional<DeviceCredentials> &credentials, bool immediate) override;

    QString runtimeEnvironmentSummary() const;

    ControllerStatus &status() { return *m_status; }
    const std::optional<DeviceCredentials> &currentCredentials() const { return m_credentials; }
    bool hasServiceClient() const { return m_apiClient != nullptr; }
    AgentInventoryReporter *inventoryReporter() const { return m_reporter; }
    bool isManaged() const;

private:
    // CommandPollLoop::Host
    bool paused() const override;
    void setConnected(bool connected) override;
    void setLastCommand(const QString &text) override;
    std::optional<DeviceCredentials> credentials() const override { return m_credentials; }
    void setCredentials(const DeviceCredentials &credentials) override { m_credentials = credentials; }
    bool hasPendingClaim() const override;
    std::shared_ptr<DeviceServiceClient> service() const override { return m_apiClient; }
    QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials credentials,
                                                                       bool force) override;
    QCoro::Task<void> resumeApprovedClaimIfNeeded() override;
    std::optional<QList<AgentInstanceReport>> currentReportsIfReady() const override;
    std::shared_ptr<AgentInstanceSnapshotSource> agentInstanceMonitor() const override { return m_monitor; }
    std::optional<QDateTime> lastAgentInstanceReportAttemptAt() const override;
    void setLastAgentInstanceReportAttemptAt(const QDateTime &when) override;
    void openHelpPage() override;

    void loadStoredState();
    struct ReloadedCredentials {
        std::optional<DeviceCredentials> credentials;
        std::optional<QString> failure;
    };
    QCoro::Task<void> takeReloadedCredentials(QFuture<ReloadedCredentials> read);
    void handleDashboardAction(DashboardAction action);
    bool launchAtLoginEnabled() const;
    QCoro::Task<void> disconnect();

    Dependencies m_deps;
    ControllerStatus *m_status;
    std::optional<DeviceCredentials> m_credentials;
    std::shared_ptr<DeviceServiceClient> m_apiClient;
    std::optional<PendingClaimState> m_pendingClaim;
    std::shared_ptr<AgentInstanceMonitor> m_monitor;
    AgentInventoryReporter *m_reporter;
    QPointer<CommandPollLoop> m_pollLoop;
};
