#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace mornix {

class PlatformModules;

// Replaces an application bundle by the one in a verified archive, beside it on the same file
// system, so that at every moment the bundle's path holds a complete bundle (the old one or
// the new one):
//   1. the archive is downloaded into the staging directory "<parent>/.<Name>.update" (0700);
//   2. it is unpacked there and flushed to disk (syncfs);
//   3. renameat2(RENAME_EXCHANGE) swaps the new bundle with the installed one in one step, and
//      the parent directory is flushed;
//   4. the staging directory, now holding the old bundle, is removed.
// A crash before 3 leaves the old bundle untouched, after 3 the new one; recover() removes
// what a crash left in the staging directory. Where the file system cannot exchange, the old
// bundle is first moved into the staging directory, and recover() moves it back if the new
// one never arrived.
// Thread: any, one installation at a time (the updater lock guarantees one updater per user).
class BundleInstaller {
public:
    // Called at each named step ("unpacking", "unpacked", "swapped", "cleaned"); tests stop there.
    using StepHook = std::function<void(const QString &step)>;

    // modules: the loader of the archive module that unpacking uses (null: unpacking fails, saying so).
    BundleInstaller(QString bundlePath, std::shared_ptr<PlatformModules> modules, StepHook stepHook = {});

    QString bundlePath() const { return m_bundlePath; }
    QString stagingPath() const;

    // Puts back an old bundle a crash left aside, removes the staging directory. False when
    // the staging directory exists but cannot be removed.
    bool recover(QString *error);
    // recover(), then a fresh staging directory and an empty archive file in it, opened
    // read-write (O_NOFOLLOW, 0600). The descriptor, or -1 with `error`.
    int createArchiveFile(QString *error);

    // Unpacks the archive read from `archiveFd` (bundle_archive: tar, tar.gz, tar.xz or zip,
    // told by its content) into the staging directory and flushes it. Returns the path of the
    // unpacked bundle, or nullopt with `error`; `format` receives the format read, if known.
    // When the archive module cannot be used, `error` is the loader's sentence ("the archive
    // module cannot be used: ..."), which the loader has also logged.
    std::optional<QString> unpack(int archiveFd, QString *error, QString *format = nullptr);
    // Swaps the unpacked bundle into place and removes the old one.
    bool swapIntoPlace(const QString &unpackedBundle, QString *error);

private:
    void step(const QString &name) const;

    QString m_bundlePath;
    std::shared_ptr<PlatformModules> m_modules;
    StepHook m_stepHook;
};

}  // namespace mornix
