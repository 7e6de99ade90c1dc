#include "app/entry.h"

#include "app/app_delegate.h"
#include "app/arguments.h"
#include "app/cli_output.h"
#include "app/controller_factory.h"
#include "app/mode_dispatch.h"
#include "app/notification_launch.h"
#include "platform/linux/linux_ports.h"
#include "ui/mornix_controller.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <memory>

namespace {

// A window system is reachable: an X or Wayland display, or a platform plugin chosen explicitly.
bool displayAvailable()
{
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        || qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
}

int runNormalStart(int &argc, char **argv, Arguments arguments, Ports ports)
{
    // Started for a user notification (the waiter of --notify-update); the marker is not passed on.
    const bool notificationLaunch = qgetenv(kNotificationLaunchVariable) == "1";
    qunsetenv(kNotificationLaunchVariable);
    // Without a display QApplication aborts; the managed agent and a notification launch need
    // no window at all.
    const bool headless = arguments.has(QStringLiteral("--desktop-managed")) || notificationLaunch || !displayAvailable();
    std::unique_ptr<QCoreApplication> app = headless ? std::make_unique<QCoreApplication>(argc, argv)
                                                     : std::make_unique<QApplication>(argc, argv);
    AppDelegate delegate(std::move(arguments), std::move(ports), &makeMornixController);
    delegate.setLaunchedForUserNotification(notificationLaunch);
    delegate.applicationWillFinishLaunching();
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    app->exec();
    return 0;
}

}  // namespace

int runEntry(int argc, char **argv)
{
    const Arguments arguments = Arguments::fromMain(argc, argv);
    Ports ports = makeLinuxPorts(argc > 0 ? argv[0] : nullptr);
    routeQtMessagesToSystemLog(ports.systemLog.get());

    if (const std::optional<int> status = dispatchCommandLineMode(arguments, ports, argc, argv))
        return *status;
    return runNormalStart(argc, argv, arguments, std::move(ports));
}
