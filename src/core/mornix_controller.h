#pragma once

#include <QFuture>

#include "commands/command_poll_loop.h"
#include "commands/controller_state.h"
#include "support/operational_log.h"
#include "discovery/agent_instance_monitor.h"
#include "identity/credential_records.h"
#include "signin/sign_in_flows.h"
#include "support/runtime_context.h"
#include "core/dashboard_activity.h"
#include "core/controller_ui.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace mornix {

class AgentInventoryReporter;
class ClientsClosedNotice;
class DeviceDisconnector;
class DeviceServiceClient;
class DistributedNotifications;
class KeychainStore;
class LoginItem;
class SystemLog;

// The agent's central object while it runs as an application: its state (credentials, service
// client, pending claim and status, shared with the sign-in flows and the poll loop), the
// instance monitor, the poll loop, inventory reporting, and the menu and the dashboard. Failures never leave it: they
// become `lastCommand` texts. Thread: main thread; created by the application delegate, kept until exit.
class MornixController : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        QStringList arguments;
        RuntimeContext runtimeContext;  // where and how this process runs (the start log line)
        QString buildLabel;
        QUrl websiteURL;
        QUrl helpPageURL;
        std::shared_ptr<DistributedNotifications> notifications;
        std::shared_ptr<LoginItem> loginItem;
        std::shared_ptr<ControllerUI> ui;
        std::shared_ptr<KeychainStore> keychain;
        // The state shared with the sign-in flows and the poll loop; it makes the service clients
        // and writes the operational log. Null: one without a log or service clients.
        std::shared_ptr<ControllerState> state;
        // Sign-in, registration, device claim, and the poll loop's token refresh and pending-claim
        // poll, over `state`; the controller takes it over. Null: none of them is available (a
        // pending claim only waits, tokens are never refreshed).
        std::unique_ptr<SignInFlows> signIn;
        AgentInstanceMonitor::Scanner monitorScanner;
        std::chrono::milliseconds monitorInterval{3000};
        std::shared_ptr<CommandExecutor> executor;
        // The durable command journal; null: one in memory only (nothing survives a restart).
        std::shared_ptr<CommandJournal> commandJournal;
        std::shared_ptr<DeviceDisconnector> disconnector;
        // The notice to the person at the computer when a command closed clients; null: none.
        std::shared_ptr<ClientsClosedNotice> clientsClosedNotice;
        std::shared_ptr<SystemLog> systemLog;  // may be null
        std::function<void()> openLogFile;
        std::function<void(const QUrl &)> openURL;
        std::function<void()> terminate;   // ends the application
        CommandPollLoop::Sleep pollSleep;  // tests; empty: real sleeps
    };

    explicit MornixController(Dependencies dependencies, QObject *parent = nullptr);
    ~MornixController() override;

    void start();

    // Menu and dashboard actions.
    void showDashboard();
    // The dashboard with its Activity section in front (a click on the clients-closed notice);
    // nothing with --desktop-managed.
    void showDashboardActivity();
    void openLogs();
    void togglePause();
    void toggleLaunchAtLogin();
    void clearCredentials();
    void quitApp();
    // "Sign in to Veltro" (menu and dashboard).
    void registerDevice();

    // Distributed-notification handlers. The reload reads the keychain on a thread of its own and
    // takes the credentials in on the main thread when the read has finished.
    void reloadDesktopCredentials();
    // True once the stored credentials have been read (see storedStateLoaded).
    bool storedStateIsLoaded() const { return m_storedStateLoaded; }
    void stopManagedReporter();

    void refreshMenuState();
    void updateDashboard();
    void recordDashboardActivity(const QString &title) { m_activity->record(title); }
    MornixDashboardState dashboardState() const;
    // Starts the instance monitor, or starts it over (a fresh scan) when it runs.
    void startAgentInstanceMonitoring();
    void startPolling();

    QString runtimeEnvironmentSummary() const;

    ControllerState &state() { return *m_state; }
    const DashboardActivity &activity() const { return *m_activity; }
    bool isManaged() const;

Q_SIGNALS:
    // The start-up read of the stored credentials has finished (whatever it found).
    void storedStateLoaded();

private:
    // After start() and the stored-state load: the poll loop and the first-run sign-in offer.
    void beginServiceWork();

    std::optional<QList<AgentInstanceReport>> currentReportsIfReady() const;
    // The one instance monitor, made on first use (not started).
    std::shared_ptr<AgentInstanceMonitor> instanceMonitor();

    // Loads the credentials (or else the pending claim) off the main thread and takes them in;
    // started by the constructor.
    QCoro::Task<void> loadStoredState();
    struct StoredState {
        std::optional<DeviceCredentials> credentials;
        std::optional<PendingClaimState> pendingClaim;
    };
    QCoro::Task<void> takeReloadedCredentials(QFuture<std::optional<DeviceCredentials>> read);
    void handleDashboardAction(DashboardAction action);
    bool launchAtLoginEnabled() const;
    // A change of the command journal's state, to the operational and the system log.
    void logCommandJournal(const QString &line, bool problem);
    // Logs the device out at the service, then clears the local secrets.
    QCoro::Task<void> disconnectDevice();

    Dependencies m_deps;
    ControllerState *m_state;  // held by m_deps.state
    DashboardActivity *m_activity;
    std::shared_ptr<AgentInstanceMonitor> m_monitor;
    AgentInventoryReporter *m_reporter;
    QPointer<CommandPollLoop> m_pollLoop;
    SignInFlows *m_signInFlows;  // a child, deleted before the state
    bool m_storedStateLoaded = false;
    bool m_started = false;
};

}  // namespace mornix
