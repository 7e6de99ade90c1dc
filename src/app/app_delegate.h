#pragma once

#include "app/arguments.h"
#include "platform/ports.h"

#include <QObject>

#include <functional>
#include <memory>

class DesktopUpdater;
class MornixController;
class RuntimeLock;

// The application delegate of the normal start: runs the launch decision sequence and owns what
// lives for the whole process (the controller and the single-instance lock).
// Thread: main thread; created after the application object and kept until exit.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Builds the controller once the lock is held (the composition root wires its collaborators).
    using ControllerFactory = std::function<std::unique_ptr<MornixController>(const Arguments &, Ports &)>;

    AppDelegate(Arguments arguments, Ports ports, ControllerFactory controllerFactory, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Runs once the event loop has started.
    void applicationDidFinishLaunching();
    // The application was opened again (a second start): show the dashboard. Always true.
    bool applicationShouldHandleReopen();

    MornixController *controller() const { return m_controller.get(); }

private:
    void terminate();

    Arguments m_arguments;
    Ports m_ports;
    ControllerFactory m_controllerFactory;
    std::unique_ptr<MornixController> m_controller;
    std::unique_ptr<RuntimeLock> m_runtimeLock;
    std::unique_ptr<DesktopUpdater> m_desktopUpdater;  // the updater mode only
};
