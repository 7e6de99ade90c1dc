#pragma once

#include <QString>

#include <functional>

namespace mornix {

// A safe extractor for update archives: a POSIX tar (ustar, with pax or GNU long names) that
// holds exactly one top-level application bundle "X.app/". Only directories, regular files
// and symbolic links that stay inside the bundle are accepted; absolute names, "." and ".."
// components, hard links, devices, pipes, duplicate files and anything outside "X.app/"
// refuse the whole archive. Nothing is ever written through a symbolic link: every directory
// on a path is opened with O_NOFOLLOW. Modes keep the owner's and the read/execute bits
// (never set-id bits or group/other write).
namespace bundle_archive {

struct Limits {
    qint64 maxTotalBytes = qint64(4) << 30;
    int maxEntries = 200000;
};

struct Result {
    bool ok = false;
    QString error;       // why the archive was refused (for the log)
    QString bundleName;  // "X.app"
};

// Reads the archive from `archiveFd` (from its current offset) and creates its bundle inside
// the directory `destinationFd`, which must not yet hold an entry of that name. `afterEntry`
// runs after each entry is written (tests use it to stop midway). On failure the partial
// bundle is left in place for the caller to remove.
Result extract(int archiveFd, int destinationFd, const Limits &limits = {},
               const std::function<void(int entries)> &afterEntry = {});

// Removes the directory tree `name` inside `parentFd` without following symbolic links.
bool removeTree(int parentFd, const QString &name);

}  // namespace bundle_archive

}  // namespace mornix
