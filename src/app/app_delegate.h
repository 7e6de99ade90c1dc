#pragma once

#include "app/arguments.h"
#include "platform/ports.h"
#include "support/config.h"

#include <QObject>

#include <functional>
#include <memory>

namespace mornix {

class DesktopModule;
class DesktopUpdater;
class MornixController;
class NoticeAnswerRouter;
class NotificationLaunch;
class PlatformModules;
class RuntimeLock;
class UpdateNotifications;

// The application delegate of the normal start: runs the launch decision sequence and owns what
// lives for the whole process (the controller and the single-instance lock).
// Thread: main thread; created after the application object and kept until exit.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Builds the controller once the lock is held (the composition root wires its collaborators).
    using ControllerFactory =
        std::function<std::unique_ptr<MornixController>(const Arguments &, Ports &, const Config &)>;

    AppDelegate(Arguments arguments, Ports ports, Config config, ControllerFactory controllerFactory,
                QObject *parent = nullptr);
    ~AppDelegate() override;

    // The launch was caused by a user notification (see notification_launch.h): the process stays
    // idle and handles that notification. Set before launch completes.
    void setLaunchedForUserNotification(bool launched) { m_launchedForUserNotification = launched; }
    // The loaded desktop module (windows); null: this process shows none. Set before launch
    // completes; the module outlives the delegate.
    void setDesktopModule(DesktopModule *desktop) { m_desktop = desktop; }
    // The loader of the bundle's modules (the updater mode unpacks with the archive module). Set
    // before launch completes.
    void setPlatformModules(std::shared_ptr<PlatformModules> modules) { m_modules = std::move(modules); }

    // Runs before launch completes, in every process that starts the application: update
    // notifications are configured (their answers are handled whichever process receives them).
    void applicationWillFinishLaunching();
    // Runs once the event loop has started.
    void applicationDidFinishLaunching();
    // The application was opened again (a second start): show the dashboard. Always true.
    bool applicationShouldHandleReopen();

private:
    // Ends the event loop; the process exits with `status`.
    void terminate(int status = 0);

    Arguments m_arguments;
    Ports m_ports;
    Config m_config;
    ControllerFactory m_controllerFactory;
    std::unique_ptr<MornixController> m_controller;
    std::unique_ptr<RuntimeLock> m_runtimeLock;
    std::shared_ptr<UpdateNotifications> m_updateNotifications;
    std::unique_ptr<NotificationLaunch> m_notificationLaunch;
    // The agent's notification delegate (the centre holds it weakly): the clients-closed notice's
    // clicks, and the update notification's answers passed on to m_updateNotifications.
    std::shared_ptr<NoticeAnswerRouter> m_notificationRouter;
    bool m_launchedForUserNotification = false;
    DesktopModule *m_desktop = nullptr;
    std::shared_ptr<PlatformModules> m_modules;
    std::unique_ptr<DesktopUpdater> m_desktopUpdater;  // the updater mode only
};

}  // namespace mornix
