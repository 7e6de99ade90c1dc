#include "app/app_delegate.h"

#include "app/cli_output.h"
#include "app/notification_launch.h"
#include "app/desktop_updater_wiring.h"
#include "app/runtime_bootstrap.h"
#include "app/runtime_lock.h"
#include "core/clients_closed_notice.h"
#include "core/mornix_controller.h"
#include "updates/update_notifications.h"

#include <QCoreApplication>
#include <QPointer>

namespace mornix {

namespace {
const QString kStandaloneMenuBar = QStringLiteral("--standalone-menu-bar");
const QString kDesktopManaged = QStringLiteral("--desktop-managed");
const QString kDesktopUpdater = QStringLiteral("--desktop-updater");
}  // namespace

AppDelegate::AppDelegate(Arguments arguments, Ports ports, Config config, ControllerFactory controllerFactory,
                         QObject *parent)
    : QObject(parent)
    , m_arguments(std::move(arguments))
    , m_ports(std::move(ports))
    , m_config(std::move(config))
    , m_controllerFactory(std::move(controllerFactory))
    , m_updateNotifications(
          UpdateNotifications::create(m_ports.userNotifications, m_ports.serviceManager, m_ports.systemLog))
{
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::terminate(int status)
{
    QCoreApplication::exit(status);
}

void AppDelegate::applicationWillFinishLaunching()
{
    m_updateNotifications->configure();
}

void AppDelegate::applicationDidFinishLaunching()
{
    const QVariant helper = m_ports.bundle->infoValue(QStringLiteral("VeltroStandaloneHelper"));
    const bool standaloneHelper = helper.typeId() == QMetaType::Bool && helper.toBool();

    // A launch caused by a user notification stays idle and handles that notification.
    if (m_launchedForUserNotification) {
        m_notificationLaunch = std::make_unique<NotificationLaunch>(m_updateNotifications, m_ports.userNotifications,
                                                                    m_ports.systemLog, [this] { terminate(); });
        m_notificationLaunch->run();
        return;
    }

    // An embedded helper copy started without a presentation switch stays idle.
    if (standaloneHelper && !m_arguments.has(kStandaloneMenuBar) && !m_arguments.has(kDesktopManaged)
        && !m_arguments.has(kDesktopUpdater))
        return;

    if (m_arguments.has(kDesktopUpdater)) {
        m_desktopUpdater = makeDesktopUpdater(
            m_arguments, m_ports, m_config, m_modules, [this] { terminate(); }, {}, m_desktop);
        m_desktopUpdater->startDesktopUpdater();
        return;
    }

    RuntimeBootstrap bootstrap(*m_ports.bundle, m_arguments.values(), *m_ports.systemLog,
                               &RuntimeBootstrap::startBundleExecutable);
    if (bootstrap.relaunchBundledAppIfNeeded()) {
        terminate();
        return;
    }

    RuntimeLock::Attempt attempt = RuntimeLock::tryAcquire(QStringLiteral("runtime.lock"), *m_ports.systemLog);
    if (attempt.outcome == RuntimeLock::Outcome::unusable) {
        // Not another instance: this one cannot guard itself, and says so.
        const QString text =
            QStringLiteral("VeltroMornix cannot start: the runtime lock cannot be used: ") + attempt.problem;
        m_ports.systemLog->error(text);
        cli::writeStderr(text + QLatin1Char('\n'));
        terminate(1);
        return;
    }
    m_runtimeLock = std::move(attempt.lock);
    if (!m_runtimeLock) {
        // The running instance shows itself when asked (its reopen handler).
        if (m_ports.bundle->bundleIdentifier())
            m_ports.distributedNotifications->post(notification_names::activate);
        m_ports.systemLog->info(QStringLiteral("another VeltroMornix instance is already running"));
        terminate();
        return;
    }

    QPointer<AppDelegate> self(this);
    m_ports.distributedNotifications->observe(notification_names::activate, this, [self] {
        if (self)
            self->applicationShouldHandleReopen();
    });

    m_controller = m_controllerFactory(m_arguments, m_ports, m_config);
    QPointer<MornixController> controller(m_controller.get());
    m_notificationRouter =
        std::make_shared<NoticeAnswerRouter>(m_updateNotifications, m_controller.get(), [controller] {
            if (controller)
                controller->showDashboardActivity();
        });
    m_ports.userNotifications->setDelegate(m_notificationRouter);
    m_controller->start();
    // The agent normally runs all the time: it shows scheduled reminders when they are due.
    m_ports.userNotifications->startScheduledDelivery();
}

bool AppDelegate::applicationShouldHandleReopen()
{
    if (m_controller)
        m_controller->showDashboard();
    return true;
}

}  // namespace mornix
