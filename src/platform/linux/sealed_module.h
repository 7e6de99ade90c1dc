#pragma once

#include <QByteArray>
#include <QString>

namespace mornix {

// Loads a shared module that lies inside an application bundle, only as the bundle's code
// signature seals it: the module is opened once (never through a symbolic link), its bytes are
// hashed through that descriptor and compared with the signed code directory, and the dynamic
// linker then maps that same open file. A bundle without any signature (a build that was not
// signed) has nothing to compare with and loads its module as it is.
// Thread: any (the dynamic linker serialises dlopen); a module whose static initialisers must
// run on the main thread (one that holds Qt widgets) must be loaded there. A loaded module stays
// loaded until the process exits.
struct SealedModule {
    void *entry = nullptr;  // the resolved entry symbol; null on failure
    QString problem;        // why not, for the user and the system log
};

SealedModule loadSealedModule(const QString &bundlePath, const QString &relativePath, const char *entrySymbol,
                              const QByteArray &anchorsPEM);

}  // namespace mornix
