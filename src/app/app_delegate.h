#pragma once

#include "app/arguments.h"
#include "platform/ports.h"

#include <QObject>

// The application delegate of the normal start: owns what lives for the whole process.
// Thread: main thread; created after the application object and kept until exit.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    AppDelegate(Arguments arguments, Ports ports, QObject *parent = nullptr);

    // Runs once the event loop has started.
    void applicationDidFinishLaunching();

private:
    Arguments m_arguments;
    Ports m_ports;
};
