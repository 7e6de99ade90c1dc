// A stand-alone status-notifier host for benchmarks: serves the watcher on the session bus,
// prints "ready" and then one line per registered item, until terminated.
#include "support/status_notifier_host.h"

#include <QCoreApplication>

#include <cstdio>

using namespace mornix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    StatusNotifierHost host;
    if (!host.registerOnSessionBus()) {
        std::fprintf(stderr, "cannot serve org.kde.StatusNotifierWatcher on the session bus\n");
        return 1;
    }
    QObject::connect(&host, &StatusNotifierHost::StatusNotifierItemRegistered, [](const QString &service) {
        std::printf("item %s\n", qPrintable(service));
        std::fflush(stdout);
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
