#include "ui/mornix_controller.h"

#include "app/runtime_context.h"
#include "platform/bundle.h"
#include "platform/distributed_notifications.h"
#include "platform/login_item.h"
#include "support/text_cleaning.h"

#include <QLoggingCategory>
#include <QPointer>

Q_LOGGING_CATEGORY(lcController, "mornix.ui.controller")

namespace {
const QString kDesktopManaged = QStringLiteral("--desktop-managed");
const QString kStandaloneMenuBar = QStringLiteral("--standalone-menu-bar");
}  // namespace

MornixController::MornixController(Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_deps(std::move(dependencies))
    , m_status(new ControllerStatus(m_deps.appendLog, this))
{
    connect(m_status, &ControllerStatus::menuRefreshNeeded, this, &MornixController::refreshMenuState);
    connect(m_status, &ControllerStatus::dashboardRefreshNeeded, this, &MornixController::updateDashboard);
}

MornixController::~MornixController() = default;

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

    const bool accessory = isManaged() || m_deps.arguments.contains(kStandaloneMenuBar);
    m_deps.ui->setActivationPolicy(accessory ? ControllerUI::ActivationPolicy::Accessory
                                             : ControllerUI::ActivationPolicy::Regular);
    if (isManaged()) {
        m_deps.ui->removeStatusItem();
    } else {
        MenuActions actions;
        actions.showDashboard = [self] { if (self) self->showDashboard(); };
        actions.openLogs = [self] { if (self) self->openLogs(); };
        actions.togglePause = [self] { if (self) self->togglePause(); };
        actions.toggleLaunchAtLogin = [self] { if (self) self->toggleLaunchAtLogin(); };
        actions.quitApp = [self] { if (self) self->quitApp(); };
        m_deps.ui->installStatusItem(actions);
    }

    refreshMenuState();
    recordDashboardActivity(QStringLiteral("Device control started"));
    m_deps.appendLog(QStringLiteral("app started build=") + m_deps.buildLabel);
    m_deps.appendLog(runtimeEnvironmentSummary());
}

QString MornixController::runtimeEnvironmentSummary() const
{
    const RuntimeContext context = RuntimeContext::current(*m_deps.bundle, m_deps.arguments);
    return QStringLiteral("runtime bundle_id=%1 arch=%2 execution=%3 bundle_path=%4 executable_path=%5")
        .arg(context.bundleID, context.architecture, context.executionMode, context.bundlePath, context.executablePath);
}

bool MornixController::launchAtLoginEnabled() const
{
    return m_deps.loginItem->status() == LoginItem::Status::Enabled;
}

void MornixController::refreshMenuState()
{
    updateDashboard();
    MenuState menu;
    menu.connected = m_status->connected();
    menu.buildLabel = m_deps.buildLabel;
    menu.lastCommand = sanitizeLog(m_status->lastCommand(), 120);
    menu.paused = m_status->paused();
    menu.launchAtLogin = launchAtLoginEnabled();
    m_deps.ui->refreshMenu(menu);
}

MornixDashboardState MornixController::dashboardState() const
{
    MornixDashboardState state;
    state.connected = m_status->connected();
    state.paused = m_status->paused();
    state.launchAtLogin = launchAtLoginEnabled();
    state.activity = m_status->activity();
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

void MornixController::handleDashboardAction(DashboardAction action)
{
    switch (action) {
    case DashboardAction::Pause:
        togglePause();
        break;
    case DashboardAction::LaunchAtLogin:
        toggleLaunchAtLogin();
        break;
    case DashboardAction::Logs:
        openLogs();
        break;
    case DashboardAction::Workspace:
        m_deps.openURL(m_deps.websiteURL);
        break;
    case DashboardAction::Refresh:
        refreshMenuState();
        break;
    case DashboardAction::SignIn:
    case DashboardAction::Disconnect:
        break;
    }
}

void MornixController::openLogs()
{
    m_deps.openLogFile();
}

void MornixController::togglePause()
{
    m_status->setPaused(!m_status->paused());
    recordDashboardActivity(m_status->paused() ? QStringLiteral("Command processing paused")
                                               : QStringLiteral("Command processing resumed"));
    refreshMenuState();
}

void MornixController::toggleLaunchAtLogin()
{
    const bool enabled = launchAtLoginEnabled();
    QString error;
    const bool ok = enabled ? m_deps.loginItem->unregisterItem(&error) : m_deps.loginItem->registerItem(&error);
    if (!ok) {
        qCWarning(lcController) << "login item update failed:" << error;
        m_status->setLastCommand(QStringLiteral("launch-at-login update failed"));
        return;
    }
    m_status->setLastCommand(enabled ? QStringLiteral("launch at login disabled")
                                     : QStringLiteral("launch at login enabled"));
}

void MornixController::stopManagedReporter()
{
    m_deps.terminate();
}

void MornixController::quitApp()
{
    m_deps.terminate();
}
