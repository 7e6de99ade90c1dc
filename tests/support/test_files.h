#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Small file helpers the tests share.

namespace mornix {

// The permission bits (07777) of the entry itself (links not followed); 0 when it is missing.
mode_t modeOf(const QString &path);

// The whole file; empty when it is missing or unreadable.
QByteArray readFile(const QString &path);

// Creates or truncates the file and writes all of `bytes`; false when that failed.
bool writeFile(const QString &path, const QByteArray &bytes);

}  // namespace mornix
