#pragma once

#include "platform/posix_files.h"

#include <QByteArray>
#include <QString>

#include <optional>

#include <sys/stat.h>

namespace mornix {

// Reading files that belong to other programs (Info.plist, code signatures, executables).
// Such a file is opened first (O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC) and judged by
// fstat of the descriptor afterwards: a FIFO, device or directory swapped in at the path can
// never block or be read, and a symbolic link in the last component is never followed.
// Thread: any. Nothing here throws.
namespace foreign_file {

// The identity of an open file: a cache key that changes whenever the bytes may have.
struct Identity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    bool operator==(const Identity &) const = default;
};

Identity identityOf(const struct stat &info);

// An open regular file of at most maxBytes; its descriptor closes on destruction.
struct OpenFile {
    posix::UniqueFd descriptor;
    Identity identity;
};

// Opens path (or name relative to the directory descriptor dirfd) as described above; nullopt
// unless it is a regular file of at most maxBytes.
std::optional<OpenFile> openRegular(const QString &path, qint64 maxBytes);
std::optional<OpenFile> openRegularAt(int dirfd, const QByteArray &name, qint64 maxBytes);

// Reads the whole file from its start; nullopt on an I/O error or when the size read differs
// from the identity's (the file changed while it was read).
std::optional<QByteArray> readAll(const OpenFile &file);

// openRegular + readAll.
std::optional<QByteArray> read(const QString &path, qint64 maxBytes);

}  // namespace foreign_file

}  // namespace mornix
