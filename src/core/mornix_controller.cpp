#include "core/mornix_controller.h"

#include "api/service_error_text.h"
#include "commands/agent_inventory_reporter.h"
#include "commands/device_service_client.h"
#include "core/clients_closed_notice.h"
#include "core/device_disconnector.h"
#include "core/ui_logging.h"
#include "identity/keychain_store.h"
#include "platform/distributed_notifications.h"
#include "platform/login_item.h"
#include "platform/system_log.h"
#include "support/blocking_call.h"
#include "support/text_cleaning.h"

#include <QCoroFuture>
#include <QCoroSignal>
#include <QMetaObject>

#include <exception>

namespace mornix {

namespace {
const QString kDesktopManaged = QStringLiteral("--desktop-managed");
const QString kStandaloneMenuBar = QStringLiteral("--standalone-menu-bar");
}  // namespace

MornixController::MornixController(Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_deps(std::move(dependencies))
    , m_state(m_deps.state ? m_deps.state.get() : (m_deps.state = std::make_shared<ControllerState>()).get())
    , m_activity(new DashboardActivity(*m_state, this))
    , m_signInFlows(m_deps.signIn.release())
{
    connect(m_state, &ControllerState::changed, this, &MornixController::refreshMenuState);
    connect(m_activity, &DashboardActivity::changed, this, &MornixController::updateDashboard);
    if (m_signInFlows)
        m_signInFlows->setParent(this);

    AgentInventoryReporter::Dependencies reporter;
    reporter.send = [this](const DeviceCredentials &credentials,
                           const QList<AgentInstanceReport> &reports) -> QCoro::Task<void> {
        // The client of the moment, kept alive for the call.
        std::shared_ptr<DeviceServiceClient> client = m_state->serviceClient();
        if (!client)
            throw std::runtime_error("no service client");
        co_await client->reportAgentInstances(credentials, reports);
    };
    reporter.currentCredentials = [this] { return m_state->credentials(); };
    reporter.appendLog = [this](const QString &line) { m_state->appendLog(line); };
    reporter.pendingChanged = [this] { updateDashboard(); };
    m_reporter = new AgentInventoryReporter(std::move(reporter), this);

    loadStoredState();
}

MornixController::~MornixController()
{
    // First: the loop uses the reporter, the monitor and the sign-in flows; the flows use the
    // state, which goes with the members.
    delete m_pollLoop.data();
    delete m_signInFlows;
    m_reporter->cancel();
    if (m_monitor)
        m_monitor->stop();
}

QCoro::Task<void> MornixController::loadStoredState()
{
    // Read on a thread of its own: a Secret Service read is a D-Bus round trip and a locked
    // keyring may wait for an unlock prompt indefinitely; the main thread keeps running.
    QPointer<MornixController> self(this);
    std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
    QFuture<StoredState> read = startBlockingCall([keychain]() -> StoredState {
        StoredState state;
        state.credentials = keychain->loadCredentials();
        if (!state.credentials)
            state.pendingClaim = keychain->loadPendingClaim();
        return state;
    });
    StoredState state;
    std::optional<QString> failure;
    try {
        state = co_await read;
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self)
        co_return;

    // Failures leave the fields empty: the agent then runs as not signed in.
    if (failure) {
        qCWarning(lcUi) << "stored credentials unavailable:" << *failure;
        m_state->appendLog(QStringLiteral("stored credentials unavailable: ") + *failure);
    } else if (state.credentials) {
        m_state->setServiceClient(m_state->makeServiceClient(state.credentials->apiBaseURL));
        m_state->setCredentials(state.credentials);
    } else if (state.pendingClaim) {
        m_state->setServiceClient(m_state->makeServiceClient(state.pendingClaim->apiBaseURL));
        m_state->setLastCommandQuietly(QStringLiteral("pending claim ") + state.pendingClaim->claimID.left(8));
        m_state->setPendingClaim(state.pendingClaim);
    }
    m_storedStateLoaded = true;
    refreshMenuState();
    Q_EMIT storedStateLoaded();
    if (m_started)
        beginServiceWork();
}

bool MornixController::isManaged() const
{
    return m_deps.arguments.contains(kDesktopManaged);
}

void MornixController::start()
{
    QPointer<MornixController> self(this);
    if (isManaged()) {
        m_deps.notifications->observe(notification_names::stopManaged, this, [self] {
            if (self)
                self->stopManagedReporter();
        });
    }
    const bool observing = m_deps.notifications->observe(notification_names::credentialsUpdated, this, [self] {
        if (self)
            self->reloadDesktopCredentials();
    });

    const bool accessory = isManaged() || m_deps.arguments.contains(kStandaloneMenuBar);
    m_deps.ui->setActivationPolicy(accessory ? ControllerUI::ActivationPolicy::accessory
                                             : ControllerUI::ActivationPolicy::regular);
    if (isManaged()) {
        m_deps.ui->removeStatusItem();
    } else {
        // Each menu action calls the controller only while it still exists.
        const auto call = [self](void (MornixController::*method)()) {
            return [self, method] {
                if (self)
                    (self.data()->*method)();
            };
        };
        MenuActions actions;
        actions.showDashboard = call(&MornixController::showDashboard);
        actions.registerDevice = call(&MornixController::registerDevice);
        actions.openLogs = call(&MornixController::openLogs);
        actions.togglePause = call(&MornixController::togglePause);
        actions.toggleLaunchAtLogin = call(&MornixController::toggleLaunchAtLogin);
        actions.clearCredentials = call(&MornixController::clearCredentials);
        actions.quitApp = call(&MornixController::quitApp);
        m_deps.ui->installStatusItem(actions);
    }

    refreshMenuState();
    recordDashboardActivity(QStringLiteral("Device control started"));
    m_state->appendLog(QStringLiteral("app started build=") + m_deps.buildLabel);
    m_state->appendLog(runtimeEnvironmentSummary());

    if (!observing) {
        // Without a session bus the companion's stop and credentials-updated notices never arrive.
        m_state->appendLog(QStringLiteral("no session bus: the stop-managed and credentials-updated "
                                          "notifications cannot be received"));
    }

    startAgentInstanceMonitoring();
    // Polling and the first-run sign-in offer wait for the stored credentials (at once when they
    // are already in).
    m_started = true;
    if (m_storedStateLoaded)
        beginServiceWork();
}

void MornixController::beginServiceWork()
{
    startPolling();
    const bool accessory = isManaged() || m_deps.arguments.contains(kStandaloneMenuBar);
    if (m_signInFlows && !accessory)
        m_signInFlows->presentInitialClaimPromptIfNeeded();
}

void MornixController::registerDevice()
{
    if (m_signInFlows)
        m_signInFlows->registerDevice();
    else
        qCInfo(lcUi) << "sign-in is not available in this build";
}

QString MornixController::runtimeEnvironmentSummary() const
{
    const RuntimeContext &context = m_deps.runtimeContext;
    return QStringLiteral("runtime bundle_id=%1 arch=%2 execution=%3 bundle_path=%4 executable_path=%5")
        .arg(context.bundleID, context.architecture, context.executionMode, context.bundlePath, context.executablePath);
}

std::shared_ptr<AgentInstanceMonitor> MornixController::instanceMonitor()
{
    if (m_monitor)
        return m_monitor;
    QPointer<AgentInventoryReporter> reporter(m_reporter);
    // Called on the monitor's thread: hop to the main thread while the reporter exists.
    auto handler = [reporter](const QList<AgentInstanceReport> &reports) {
        QMetaObject::invokeMethod(
            reporter.data(),
            [reporter, reports] {
                if (reporter)
                    reporter->queueAgentInventoryReport(reports, std::nullopt, false);
            },
            Qt::QueuedConnection);
    };
    m_monitor = std::make_shared<AgentInstanceMonitor>(m_deps.monitorScanner, m_deps.monitorInterval, handler);
    return m_monitor;
}

void MornixController::startAgentInstanceMonitoring()
{
    const bool running = m_monitor != nullptr;
    const std::shared_ptr<AgentInstanceMonitor> monitor = instanceMonitor();
    // Both run in order on the monitor's thread: the old snapshot is dropped, then a fresh scan.
    if (running)
        monitor->stop();
    monitor->start();
}

void MornixController::startPolling()
{
    if (m_pollLoop) {
        m_pollLoop->cancel();
        m_pollLoop->deleteLater();
    }
    if (!m_deps.commandJournal)
        m_deps.commandJournal = std::make_shared<CommandJournal>();
    // Read once, before the first command; damage or a journal that cannot be used is logged
    // and never stops the agent.
    for (const QString &problem : m_deps.commandJournal->open())
        logCommandJournal(problem, true);
    CommandPollLoop::Collaborators collaborators;
    collaborators.executor = m_deps.executor;
    collaborators.renewal = m_signInFlows;
    collaborators.reporter = m_reporter;
    collaborators.monitor = instanceMonitor();
    collaborators.journal = m_deps.commandJournal;
    collaborators.journalStateChanged = [this](const QString &reason) {
        if (reason.isEmpty()) {
            logCommandJournal(QStringLiteral("command journal durable again: ") + m_deps.commandJournal->filePath(),
                              false);
            recordDashboardActivity(QStringLiteral("Command journal restored"));
        } else {
            logCommandJournal(QStringLiteral("command journal kept in memory only: ") + reason, true);
            recordDashboardActivity(QStringLiteral("Command journal kept in memory only"));
        }
        updateDashboard();
    };
    collaborators.commandExecuted = [this](const KillExecutionResult &result) {
        m_deps.openURL(m_deps.helpPageURL);
        if (m_deps.clientsClosedNotice)
            m_deps.clientsClosedNotice->commandExecuted(result);
    };
    collaborators.sleep = m_deps.pollSleep;
    m_pollLoop = new CommandPollLoop(*m_state, std::move(collaborators), this);
    m_pollLoop->start();
}

void MornixController::logCommandJournal(const QString &line, bool problem)
{
    m_state->appendLog(line);
    if (m_deps.systemLog)
        m_deps.systemLog->write(problem ? SystemLog::Level::error : SystemLog::Level::info, line);
}

bool MornixController::launchAtLoginEnabled() const
{
    return m_deps.loginItem->status() == LoginItem::Status::enabled;
}

void MornixController::refreshMenuState()
{
    updateDashboard();
    MenuState menu;
    menu.connected = m_state->connected();
    menu.buildLabel = m_deps.buildLabel;
    menu.lastCommand = sanitizeLog(m_state->lastCommand(), 120);
    menu.paused = m_state->paused();
    menu.launchAtLogin = launchAtLoginEnabled();
    m_deps.ui->refreshMenu(menu);
}

MornixDashboardState MornixController::dashboardState() const
{
    MornixDashboardState state;
    state.connected = m_state->connected();
    state.paused = m_state->paused();
    state.signedIn = m_state->credentials().has_value();
    state.pendingApproval = m_state->pendingClaim().has_value();
    state.launchAtLogin = launchAtLoginEnabled();
    const std::optional<QList<AgentInstanceReport>> reports = currentReportsIfReady();
    state.inventoryReady = reports.has_value();
    QList<DashboardInstance> instances;
    for (const AgentInstanceReport &report : reports.value_or(QList<AgentInstanceReport>()))
        instances.append(DashboardInstance{report.product, report.kind});
    state.clients = dashboardClients(instances);
    state.activity = m_activity->entries();
    state.commandJournalProblem = m_deps.commandJournal ? m_deps.commandJournal->degradedReason() : QString();
    return state;
}

void MornixController::updateDashboard()
{
    if (!m_deps.ui->hasDashboard())
        return;
    m_deps.ui->updateDashboard(dashboardState());
}

void MornixController::showDashboard()
{
    if (isManaged())
        return;
    QPointer<MornixController> self(this);
    m_deps.ui->showDashboard(dashboardState(), [self](DashboardAction action) {
        if (self)
            self->handleDashboardAction(action);
    });
}

void MornixController::showDashboardActivity()
{
    if (isManaged())
        return;
    showDashboard();
    m_deps.ui->selectDashboardActivity();
}

void MornixController::handleDashboardAction(DashboardAction action)
{
    switch (action) {
    case DashboardAction::pause: togglePause(); break;
    case DashboardAction::launchAtLogin: toggleLaunchAtLogin(); break;
    case DashboardAction::logs: openLogs(); break;
    case DashboardAction::disconnect: clearCredentials(); break;
    case DashboardAction::refresh:
        startAgentInstanceMonitoring();
        refreshMenuState();
        break;
    case DashboardAction::workspace: m_deps.openURL(m_deps.websiteURL); break;
    case DashboardAction::signIn: registerDevice(); break;
    }
}

void MornixController::openLogs()
{
    m_deps.openLogFile();
}

void MornixController::togglePause()
{
    m_state->setPaused(!m_state->paused());
    recordDashboardActivity(m_state->paused() ? QStringLiteral("Command processing paused")
                                              : QStringLiteral("Command processing resumed"));
    refreshMenuState();
}

void MornixController::toggleLaunchAtLogin()
{
    const bool enabled = launchAtLoginEnabled();
    QString error;
    const bool ok = enabled ? m_deps.loginItem->unregisterItem(&error) : m_deps.loginItem->registerItem(&error);
    if (!ok) {
        qCWarning(lcUi) << "login item update failed:" << error;
        m_state->setLastCommand(QStringLiteral("launch-at-login update failed"));
        return;
    }
    m_state->setLastCommand(enabled ? QStringLiteral("launch at login disabled")
                                    : QStringLiteral("launch at login enabled"));
}

void MornixController::clearCredentials()
{
    if (!m_deps.ui->confirmDisconnect())
        return;
    disconnectDevice();
}

QCoro::Task<void> MornixController::disconnectDevice()
{
    QPointer<MornixController> self(this);
    if (!m_storedStateLoaded) {
        co_await qCoro(this, &MornixController::storedStateLoaded);
        if (!self)
            co_return;
    }
    const auto fail = [this](const QString &description) {
        m_state->setLastCommand(QStringLiteral("failed to clear credentials: ") + sanitizeLog(description, 120));
    };
    std::shared_ptr<DeviceDisconnector> disconnector = m_deps.disconnector;
    QString failure;
    if (m_state->credentials()) {
        const DeviceCredentials credentials = *m_state->credentials();
        DeviceDisconnector::LogoutOutcome outcome = DeviceDisconnector::LogoutOutcome::loggedOut;
        try {
            const DeviceLogoutRequestPayload request = co_await disconnector->prepareLogout(credentials);
            if (!self)
                co_return;
            // Only now, with the signed request in hand, is the device being logged out.
            m_state->setLastCommand(QStringLiteral("logging out device"));
            outcome = co_await disconnector->logout(credentials, request);
        } catch (const std::exception &error) {
            failure = describeServiceError(error);
        }
        if (!self)
            co_return;
        if (!failure.isEmpty()) {
            fail(failure);
            co_return;
        }
        if (outcome == DeviceDisconnector::LogoutOutcome::alreadyGone)
            m_state->setLastCommand(QStringLiteral("device already logged out"));
    }
    try {
        co_await disconnector->clearLocalSecrets();
    } catch (const std::exception &error) {
        failure = describeServiceError(error);
    }
    if (!self)
        co_return;
    if (!failure.isEmpty()) {
        fail(failure);
        co_return;
    }
    m_state->setServiceClient(nullptr);
    m_state->setCredentials(std::nullopt);
    m_state->setPendingClaim(std::nullopt);
    m_state->setConnected(false);
    m_state->setLastCommand(QStringLiteral("credentials cleared"));
}

void MornixController::reloadDesktopCredentials()
{
    // A Secret Service read is a D-Bus round trip (and may wait for an unlock): never on the
    // main thread. The store is safe to use from any thread.
    std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
    QFuture<std::optional<DeviceCredentials>> read =
        startBlockingCall([keychain] { return keychain->loadCredentials(); });
    takeReloadedCredentials(std::move(read));
}

QCoro::Task<void> MornixController::takeReloadedCredentials(QFuture<std::optional<DeviceCredentials>> read)
{
    QPointer<MornixController> self(this);
    QString failure;
    try {
        const std::optional<DeviceCredentials> loaded = co_await read;
        if (!self || !loaded)
            co_return;
        std::shared_ptr<DeviceServiceClient> client = m_state->makeServiceClient(loaded->apiBaseURL);
        if (client) {
            m_state->setServiceClient(std::move(client));
            m_state->setCredentials(loaded);
            m_state->setConnected(false);
            co_return;
        }
        failure = QStringLiteral("no pinned session for the API origin");
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self)
        co_return;
    qCWarning(lcUi).noquote() << "desktop credentials unavailable:" << failure;
    m_state->setLastCommand(QStringLiteral("desktop credentials unavailable"));
}

void MornixController::stopManagedReporter()
{
    m_deps.terminate();
}

void MornixController::quitApp()
{
    if (m_pollLoop)
        m_pollLoop->cancel();
    m_reporter->cancel();
    if (m_monitor)
        m_monitor->stop();
    m_deps.terminate();
}

std::optional<QList<AgentInstanceReport>> MornixController::currentReportsIfReady() const
{
    if (!m_monitor)
        return std::nullopt;
    return m_monitor->currentReportsIfReady();
}

}  // namespace mornix
