#pragma once

#include "platform/linux/modules/sealed_module.h"
#include "support/operational_log.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Why our own table-of-operations interface, not QPluginLoader with Q_DECLARE_INTERFACE:
// - Seal: a module runs only once its bytes, hashed through the descriptor we opened, match the
//   signed code directory, and the dynamic linker must then map that same open file
//   (sealed_module.h). QPluginLoader (and QLibrary under it) takes a file name: it reads the
//   plugin's metadata and dlopens by path, so the file it maps may not be the file we checked.
// - Footprint: the fronts of libsecret, the TSS stack and libxcb are C shims built with hidden
//   symbols that bind only to themselves and their library. A Qt plugin is a QObject: each of
//   them would link Qt Core and moc output (libsecret cannot even be compiled after Qt headers),
//   for one C entry that returns a table.
// - Versioning is explicit: the entry returns null for an interface version it was not built
//   for, where a plugin's IID mismatch is only found after its constructors ran.
// Adding an operation: append it to the table, bump the interface version on both sides.

namespace mornix {

struct Config;
class SystemLog;

// One module of the bundle, as its front knows it.
struct ModuleSpec {
    // Calls an entry of another signature than `const void *entry(uint32_t)`.
    using Invoke = const void *(*)(void *entry, uint32_t interfaceVersion);

    const char *relativePath;  // e.g. "Contents/PlugIns/libmornix_tpm.so"
    const char *entrySymbol;
    uint32_t interfaceVersion;
    const char *name;         // for people: "the TPM module"
    Invoke invoke = nullptr;  // null: the standard entry signature
};

// The bundle's modules that wrap a system library only some modes use (the Secret Service, the
// TPM stack, the X display probe, the update archive extractor, the windows): the executable does not link those
// libraries, so a mode that never reaches them never maps them. Each module exports one C entry
//     const void *entry(uint32_t interfaceVersion)
// that returns its table of operations (or null when it was built for another interface); an
// entry of another signature is called through ModuleSpec::invoke.
//
// A module is loaded on the first call that needs it, checked against the bundle's seal and
// signer as loadSealedModule does, and then kept for the life of the process. A module that
// cannot be used is an installation or tampering fault: it is reported once, naming the module
// and why, to the system log and to the fault report (the operational log), and every later
// call gets the same answer, so the facility fails alone.
// The composition root makes one instance and hands it to the fronts that need it.
// Thread: any; concurrent first calls load the module once.
class PlatformModules {
public:
    enum class State {
        loaded,
        missing,      // no bundle, or no module file in it
        notSealed,    // the bundle's seal does not cover this module as it is (or there is none)
        wrongSigner,  // sealed by another team or under another identifier
        loadFailed,   // refused by the dynamic linker, no entry point, or another interface version
    };

    struct Status {
        QString name;          // "the TPM module"
        QString relativePath;  // "Contents/PlugIns/libmornix_tpm.so"
        State state = State::missing;
        QString reason;  // empty when loaded; else the whole sentence logged
    };

    // Receives one line per module that cannot be used ("the TPM module cannot be used: ...").
    // Called on the thread that tried to load the module (any thread), outside the loader's
    // lock; the receiver hands it on to its own thread.
    using FaultReport = OperationalLog;

    // systemLog: where faults are written at once (null: the lcModules logging category).
    PlatformModules(QString bundlePath, QByteArray anchorsPEM, ModuleSigner signer,
                    std::shared_ptr<SystemLog> systemLog);
    // The loader of the running build: its anchors and its own signer (team and identifier).
    static std::shared_ptr<PlatformModules> forBuild(QString bundlePath, const Config &config,
                                                     std::shared_ptr<SystemLog> systemLog);
    PlatformModules(const PlatformModules &) = delete;
    PlatformModules &operator=(const PlatformModules &) = delete;

    // The module's table; null with *problem set ("the Secret Service module cannot be used: ...")
    // when it cannot be used.
    const void *table(const ModuleSpec &module, QString *problem);
    const void *table(const char *relativePath, const char *entrySymbol, uint32_t interfaceVersion, const char *name,
                      QString *problem)
    {
        return table(ModuleSpec{relativePath, entrySymbol, interfaceVersion, name}, problem);
    }

    // Whether the module loads and, if not, why (for diagnostics such as --doctor). Loads it when
    // nothing has asked for it yet, exactly as the first real use would (blocking: hashing); a
    // module whose initialisers need the main thread (the desktop module) is asked there.
    Status status(const ModuleSpec &module);
    // The outcome of every module asked for so far, in the order they were first asked for.
    std::vector<Status> statuses() const;
    // The modules of system-library fronts this loader serves (Secret Service, TPM, X display,
    // archive).
    static std::vector<ModuleSpec> platformModules();
    // "loaded", "missing", "seal failed", "wrong signer", "load failed".
    static QString stateName(State state);

    // Installs (or, with an empty function, removes) the operational log's receiver of faults.
    // Faults found before it was installed are handed to it at once, in order. When this returns,
    // the previous receiver is no longer running and is never called again. A receiver must not
    // call setFaultReport itself.
    void setFaultReport(FaultReport report);

private:
    struct Loaded {
        const void *table = nullptr;
        Status status;
    };
    void report(const QString &line);

    const QString m_bundlePath;
    const QByteArray m_anchorsPEM;
    const ModuleSigner m_signer;
    const std::shared_ptr<SystemLog> m_systemLog;
    mutable QMutex m_mutex;
    std::map<std::string, Loaded> m_loaded;  // by relative path
    std::vector<std::string> m_order;        // relative paths, first asked first
    QMutex m_reportMutex;                    // held while a receiver runs; ordered after m_mutex
    FaultReport m_faultReport;
    std::vector<QString> m_faults;  // every fault line so far
};

}  // namespace mornix
