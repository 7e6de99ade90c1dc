#include "app/app_delegate.h"

#include "app/desktop_updater_wiring.h"
#include "app/runtime_bootstrap.h"
#include "app/runtime_lock.h"
#include "ui/mornix_controller.h"

#include <QCoreApplication>
#include <QPointer>

namespace {
const QString kStandaloneMenuBar = QStringLiteral("--standalone-menu-bar");
const QString kDesktopManaged = QStringLiteral("--desktop-managed");
const QString kDesktopUpdater = QStringLiteral("--desktop-updater");
}  // namespace

AppDelegate::AppDelegate(Arguments arguments, Ports ports, ControllerFactory controllerFactory, QObject *parent)
    : QObject(parent)
    , m_arguments(std::move(arguments))
    , m_ports(std::move(ports))
    , m_controllerFactory(std::move(controllerFactory))
{
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::terminate()
{
    QCoreApplication::quit();
}

void AppDelegate::applicationDidFinishLaunching()
{
    const QVariant helper = m_ports.bundle->infoValue(QStringLiteral("VeltroStandaloneHelper"));
    const bool standaloneHelper = helper.typeId() == QMetaType::Bool && helper.toBool();

    // An embedded helper copy started without a presentation switch stays idle.
    if (standaloneHelper && !m_arguments.has(kStandaloneMenuBar) && !m_arguments.has(kDesktopManaged)
        && !m_arguments.has(kDesktopUpdater))
        return;

    if (m_arguments.has(kDesktopUpdater)) {
        m_desktopUpdater = makeDesktopUpdater(m_arguments, m_ports, [this] { terminate(); });
        m_desktopUpdater->startDesktopUpdater();
        return;
    }

    RuntimeBootstrap bootstrap(*m_ports.bundle, m_arguments.values(), *m_ports.systemLog,
                               &RuntimeBootstrap::startBundleExecutable);
    if (bootstrap.relaunchBundledAppIfNeeded()) {
        terminate();
        return;
    }

    m_runtimeLock = RuntimeLock::acquire(QStringLiteral("runtime.lock"), *m_ports.systemLog);
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

    m_controller = m_controllerFactory(m_arguments, m_ports);
    m_controller->start();
}

bool AppDelegate::applicationShouldHandleReopen()
{
    if (m_controller)
        m_controller->showDashboard();
    return true;
}
