#include "app/entry.h"

#include "app/app_delegate.h"
#include "app/arguments.h"
#include "app/cli_output.h"
#include "app/controller_factory.h"
#include "app/mode_dispatch.h"
#include "app/notification_launch.h"
#include "platform/linux/display_probe.h"
#include "platform/linux/linux_ports.h"
#include "platform/system_log.h"
#include "core/mornix_controller.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <memory>
#include <optional>

namespace {

int runNormalStart(int &argc, char **argv, Arguments arguments, Ports ports)
{
    // Started for a user notification (the waiter of --notify-update); the marker is not passed on.
    const bool notificationLaunch = qgetenv(kNotificationLaunchVariable) == "1";
    qunsetenv(kNotificationLaunchVariable);
    // The managed agent and a notification launch need no window and never touch the display.
    // The other presentations want one, but Qt aborts when the display does not answer: check
    // first, and without one run the agent all the same (without menu-bar item and windows),
    // saying why.
    const bool headless = arguments.has(QStringLiteral("--desktop-managed")) || notificationLaunch;
    bool windows = false;
    if (!headless) {
        const DisplayCheck display = checkDisplay();
        windows = display.reachable;
        if (!windows) {
            const QString text = QStringLiteral("VeltroMornix runs without menu-bar item and windows: ") + display.problem;
            // On the terminal only when a display was named and does not answer; always logged.
            if (display.configured)
                cli::writeStderr(text + QLatin1Char('\n'));
            ports.systemLog->error(text);
        }
    }
    std::unique_ptr<QCoreApplication> app = windows ? std::make_unique<QApplication>(argc, argv)
                                                    : std::make_unique<QCoreApplication>(argc, argv);
    AppDelegate delegate(std::move(arguments), std::move(ports), &makeMornixController);
    delegate.setLaunchedForUserNotification(notificationLaunch);
    delegate.applicationWillFinishLaunching();
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return app->exec();
}

}  // namespace

int runEntry(int argc, char **argv)
{
    const Arguments arguments = Arguments::fromMain(argc, argv);
    // Declared before the ports so that it ends after them: it shares the log, and when this
    // function returns it puts Qt's previous handler back, so messages during process teardown
    // never reach a destroyed log.
    std::optional<QtMessageRoute> messageRoute;
    Ports ports = makeLinuxPorts(argc > 0 ? argv[0] : nullptr);
    messageRoute.emplace(ports.systemLog);

    if (const std::optional<int> status = dispatchCommandLineMode(arguments, ports, argc, argv))
        return *status;
    return runNormalStart(argc, argv, arguments, std::move(ports));
}
