#pragma once

#include "platform/linux/modules/platform_modules.h"

#include <QString>

#include <functional>

namespace mornix {

// A safe extractor for update archives, on libarchive: a tar (ustar, pax or GNU), a gzip- or
// xz-compressed tar, or a zip, recognised by its content (never by its name), that holds
// exactly one top-level application bundle "X.app/". Every entry is checked before anything of
// it is written: only directories, regular files and symbolic links that stay inside the
// bundle are accepted; absolute names, "." and ".." components, hard links, devices, pipes,
// entries beneath a symbolic link, duplicate files, encrypted entries, anything outside
// "X.app/" and anything beyond the limits refuse the whole archive. libarchive's secure
// extraction (no absolute paths, no "..", nothing placed through a symbolic link, nothing
// overwritten) holds besides. Modes keep the owner's and the read/execute bits; set-id bits
// and group/other write are cleared, owners and times are not restored.
// libarchive lives in the bundle's archive module (archive_module.h), loaded through the
// process's PlatformModules on the first extraction: no other use of the process maps it.
namespace bundle_archive {

struct Limits {
    qint64 maxTotalBytes = qint64(4) << 30;  // all files' data together
    qint64 maxEntryBytes = qint64(1) << 30;  // one file's data (its extent, for a sparse one)
    int maxEntries = 200000;
};

struct Result {
    bool ok = false;
    // The archive module cannot be used (missing, not as the bundle's seal has it): nothing was
    // read, and error is the loader's whole sentence ("the archive module cannot be used: ...").
    bool moduleUnusable = false;
    QString error;       // why the archive was refused (for the log)
    QString bundleName;  // "X.app"
    QString format;      // as read from the content: "tar", "tar.gz", "tar.xz" or "zip"; empty if unknown
};

// The archive module as PlatformModules loads it ("the archive module").
ModuleSpec moduleSpec();

// Reads the archive from the start of the file `archiveFd` and creates its bundle inside the
// directory `destinationFd`, which must not yet hold an entry of that name. `afterEntry` runs
// after each entry is written (tests use it to stop midway), on a thread of the extractor's
// own. On failure the partial bundle is left in place for the caller to remove. Loads the
// archive module from `modules` on first use. Blocks.
Result extract(PlatformModules &modules, int archiveFd, int destinationFd, const Limits &limits = {},
               const std::function<void(int entries)> &afterEntry = {});

// Removes the directory tree `name` inside `parentFd` without following symbolic links.
bool removeTree(int parentFd, const QString &name);

}  // namespace bundle_archive

}  // namespace mornix
