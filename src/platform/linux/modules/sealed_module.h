#pragma once

#include <QByteArray>
#include <QString>

// This loader is why the bundle's modules have an entry and a table of our own rather than
// being Qt plugins: the check (hash of the descriptor against the seal) and the mapping
// (dlopen of /proc/self/fd/N) work on one open file, and nothing of the module runs before
// the check held. QPluginLoader loads by path and reads the plugin first, which leaves a window
// between the check and the load in which the file at the path can be replaced.

namespace mornix {

// Who must have signed the bundle for its modules to load: our own team (the signer
// certificate's subject OU) and our own signing identifier (the code directory's identifier),
// as the build configures them (Config::codeSigningTeamIdentifier / codeSigningIdentifier).
// Another team's valid signature, or ours over another identifier, is refused. An empty team
// matches nothing.
struct ModuleSigner {
    QString teamIdentifier;
    QString identifier;
};

// Loads a shared module that lies inside an application bundle, only as the bundle's code
// signature seals it: the bundle's signature must verify against the anchors and carry the
// expected signer, the module is opened once (never through a symbolic link), its bytes are
// hashed through that descriptor and compared with the signed code directory, and the dynamic
// linker then maps that same open file. Nothing of the module runs (not even its static
// initialisers) before all of this held. A bundle without a signature is refused like a broken
// one: an unsealed module is an installation or tampering fault.
// Thread: any (the dynamic linker serialises dlopen); a module whose static initialisers must
// run on the main thread (one that holds Qt widgets) must be loaded there. A loaded module stays
// loaded until the process exits.
struct SealedModule {
    // Why a module cannot be used; `loaded` on success.
    enum class Outcome {
        loaded,
        missing,      // no bundle, or no regular file at the module's path
        notSealed,    // the bundle is unsigned, its signature is invalid, omits or mismatches the module
        wrongSigner,  // a valid signature, but not by our team or not over our identifier
        loadFailed,   // the dynamic linker refused it, or it lacks its entry point
    };

    void *entry = nullptr;  // the resolved entry symbol; null on failure
    Outcome outcome = Outcome::loaded;
    QString problem;  // why not, for the user and the system log
};

SealedModule loadSealedModule(const QString &bundlePath, const QString &relativePath, const char *entrySymbol,
                              const QByteArray &anchorsPEM, const ModuleSigner &signer);

}  // namespace mornix
