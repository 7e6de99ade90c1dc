#include "app/entry.h"

#include "app/desktop_module_spec.h"

#include "app/app_delegate.h"
#include "app/arguments.h"
#include "app/cli_output.h"
#include "app/controller_factory.h"
#include "app/mode_dispatch.h"
#include "app/notification_launch.h"
#include "app/process_environment.h"
#include "core/desktop_module.h"
#include "core/mornix_controller.h"
#include "platform/linux/bundle/app_bundle.h"
#include "platform/linux/desktop/display_probe.h"
#include "platform/linux/linux_ports.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/process/process_memory.h"
#include "platform/linux/process/working_set_schedule.h"
#include "platform/linux/system/syslog_system_log.h"
#include "platform/system_log.h"
#include "support/blocking_call.h"
#include "support/config.h"

#include <QCoreApplication>
#include <QTimer>

#include <memory>
#include <optional>

namespace mornix {

namespace {

// The windows' module, checked against the bundle's seal and signer; null with *problem set
// when it cannot be used (the loader has logged it). Main thread: its initialisers hold Qt's.
DesktopModule *loadDesktopModule(PlatformModules &modules, QString *problem)
{
    const ModuleSpec module = desktopModuleSpec();
    return static_cast<DesktopModule *>(const_cast<void *>(modules.table(module, problem)));
}

int runNormalStart(int &argc, char **argv, Arguments arguments, Ports ports,
                   const std::shared_ptr<PlatformModules> &sharedModules, const Config &config)
{
    // Started for a user notification (the waiter of --notify-update); the marker is not passed on.
    const bool notificationLaunch = config.environment.notificationLaunch;
    qunsetenv(kNotificationLaunchVariable);
    // The managed agent and a notification launch need no window and never touch the display.
    // The other presentations want one, but Qt aborts when the display does not answer: check
    // first, and without one run the agent all the same (without menu-bar item and windows),
    // saying why.
    // The windows live in a module of the bundle, loaded only here: a mode without windows never
    // maps Qt Gui, Qt Widgets or a platform plugin.
    const bool headless = arguments.has(QStringLiteral("--desktop-managed")) || notificationLaunch;
    PlatformModules &modules = *sharedModules;
    DesktopModule *desktop = nullptr;
    if (!headless) {
        const RuntimeEnvironment &environment = config.environment;
        const DisplayEnvironment names{environment.display, environment.waylandDisplay, environment.qpaPlatform,
                                       environment.runtimeDirectory};
        const DisplayCheck display = checkDisplay(modules, names);
        QString problem = display.problem;
        // On the terminal when a display was named and does not answer, or when the module is
        // missing or not the one the bundle was sealed with; always logged.
        bool tell = display.configured;
        if (display.reachable) {
            desktop = loadDesktopModule(modules, &problem);
            tell = true;
        }
        if (!desktop) {
            const QString text = QStringLiteral("VeltroMornix runs without menu-bar item and windows: ") + problem;
            if (tell)
                cli::writeStderr(text + QLatin1Char('\n'));
            ports.systemLog->error(text);
        }
    }
    std::unique_ptr<QCoreApplication> app =
        desktop ? desktop->makeApplication(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    const std::shared_ptr<SystemLog> systemLog = ports.systemLog;
    AppDelegate delegate(std::move(arguments), std::move(ports), config,
                         [desktop, &modules](const Arguments &arguments, Ports &ports, const Config &config) {
                             return makeMornixController(arguments, ports, config, desktop, &modules);
                         });
    delegate.setLaunchedForUserNotification(notificationLaunch);
    delegate.setDesktopModule(desktop);
    delegate.setPlatformModules(sharedModules);
    delegate.applicationWillFinishLaunching();
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    WorkingSetSchedule workingSet;
    workingSet.start();
    const int status = app->exec();
    // Work still running off the main thread (a keychain write, a D-Bus call) ends while the
    // application object exists, instead of being cut off by exit.
    if (!waitForBlockingCalls(std::chrono::seconds(5)))
        systemLog->error(QStringLiteral("VeltroMornix quit with work still running in the background"));
    return status;
}

}  // namespace

int runEntry(int argc, char **argv)
{
    tuneProcessMemory();
    const Arguments arguments = Arguments::fromMain(argc, argv);
    // Declared before the ports so that it ends after them: it shares the log, and when this
    // function returns it puts Qt's previous handler back, so messages during process teardown
    // never reach a destroyed log.
    std::optional<QtMessageRoute> messageRoute;
    // The build's configuration and the environment, read here once and handed to everything
    // that needs them.
    Config config = Config::defaults();
    config.environment = readProcessEnvironment();
    setLibraryEnvironment();
    const char *argv0 = argc > 0 ? argv[0] : nullptr;
    // The bundle's modules, one loader for the ports, the display check and the windows; its
    // faults go to the same system log as the ports'.
    const std::shared_ptr<SystemLog> systemLog = std::make_shared<SyslogSystemLog>();
    const auto modules =
        PlatformModules::forBuild(AppBundle::forRunningExecutable(argv0).bundlePath(), config, systemLog);
    Ports ports = makeLinuxPorts(argv0, config, modules, systemLog);
    messageRoute.emplace(ports.systemLog);

    if (const std::optional<int> status = dispatchCommandLineMode(arguments, ports, config, argc, argv))
        return *status;
    return runNormalStart(argc, argv, arguments, std::move(ports), modules, config);
}

}  // namespace mornix
