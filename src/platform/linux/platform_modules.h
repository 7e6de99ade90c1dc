#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <cstdint>
#include <map>
#include <string>

namespace mornix {

// The bundle's modules that wrap a system library only some modes use (the Secret Service, the
// TPM stack, the X display probe): the executable does not link those libraries, so a mode that
// never reaches them never maps them. Each module exports one C entry
//     const void *entry(uint32_t interfaceVersion)
// that returns its table of operations (or null when it was built for another interface).
//
// A module is loaded on the first call that needs it, checked against the bundle's seal as
// loadSealedModule does, and then kept for the life of the process; a module that cannot be
// used is logged once and every later call gets the same answer, so the facility fails alone.
// The composition root makes one instance and hands it to the fronts that need it.
// Thread: any; concurrent first calls load the module once.
class PlatformModules {
public:
    PlatformModules(QString bundlePath, QByteArray anchorsPEM);
    PlatformModules(const PlatformModules &) = delete;
    PlatformModules &operator=(const PlatformModules &) = delete;

    // The module's table; null with *problem set ("the Secret Service module cannot be used: ...")
    // when it cannot be used. name: for people ("the Secret Service module").
    const void *table(const char *relativePath, const char *entrySymbol, uint32_t interfaceVersion,
                      const char *name, QString *problem);

private:
    struct Loaded {
        const void *table = nullptr;
        QString problem;
    };

    const QString m_bundlePath;
    const QByteArray m_anchorsPEM;
    QMutex m_mutex;
    std::map<std::string, Loaded> m_loaded;  // by relative path
};

}  // namespace mornix
